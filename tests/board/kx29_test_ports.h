// The scripted test board: every port access is recorded, status answers come
// from a script, and each privileged platform call can be made to fail.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

namespace kx29test {

struct PortAccess {
    bool write;
    unsigned short port;
    unsigned char value;
};

// Status answer for the n-th read of PORT_STATUS (n counts from 0).
using StatusScript = std::function<unsigned char(long n)>;

// Field bit toggling every `every` status reads, busy bit clear.
StatusScript toggling(long every);
// Status stuck at one value (no video when the field bit never changes).
StatusScript stuck(unsigned char value);

struct TestBoard {
    unsigned short base = 0x300;  // the board's jumpered I/O base

    // ---- recorded trace
    bool tracing = true;
    std::vector<PortAccess> trace;

    // ---- frame memory with the KX29 addressing rules
    static constexpr int PITCH = 1024;
    static constexpr int LINES = 1024;
    std::vector<unsigned char> mem = std::vector<unsigned char>(PITCH * LINES);
    int line = 0;
    int col = 0;
    // The pixel at the address, which then moves on one column.
    unsigned char& cell() { return mem[(line & (LINES - 1)) * PITCH + (col++ & (PITCH - 1))]; }

    // ---- status port
    StatusScript status = toggling(50);
    long status_reads = 0;

    // ---- platform calls
    int uid = 0, euid = 0;
    std::vector<std::pair<int, int>> setreuid_calls;
    unsigned long grant_limit = 0x400;  // ioperm refuses ports from here on (as on i386)
    std::vector<bool> granted = std::vector<bool>(65536, false);
    bool enforce_grants = false;        // access to a port not granted raises SIGSEGV
    int sched_errno = 0;                // non-zero: sched_setscheduler fails with it
    int mlock_errno = 0;                // non-zero: mlockall fails with it

    // ---- questions tests ask of the trace, ports as offsets from the base
    unsigned short at(unsigned short offset) const { return static_cast<unsigned short>(base + offset); }
    std::vector<unsigned char> values(unsigned short offset, bool write) const;
    std::vector<unsigned char> values_written(unsigned short offset) const { return values(offset, true); }
    long writes_to(unsigned short offset) const { return static_cast<long>(values(offset, true).size()); }
    long reads_of(unsigned short offset) const { return static_cast<long>(values(offset, false).size()); }
    unsigned char pixel(int l, int c) const { return mem[l * PITCH + c]; }
    void set_pixel(int l, int c, unsigned char v) { mem[l * PITCH + c] = v; }
};

TestBoard& test_board();
void reset_test_board();

unsigned char test_inp(unsigned short port);
void test_outp(unsigned short port, unsigned char val);

}  // namespace kx29test

inline unsigned char board_inp(unsigned short port) { return kx29test::test_inp(port); }
inline void board_outp(unsigned short port, unsigned char val) { kx29test::test_outp(port, val); }
