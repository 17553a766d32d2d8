// Port access of the simulated KX29 board: the frame-memory data port inline,
// every other port through the board model out of line.
#pragma once

#include <cstdint>

namespace kx29sim {

// Frame memory: 1024 lines of 1024 pixels. A captured frame fills the top-left
// 768 x 576; the rest holds whatever the host wrote there.
constexpr std::uint32_t MEM_PITCH = 1024;
constexpr std::uint32_t MEM_LINES = 1024;
constexpr std::uint32_t MEM_SIZE = MEM_PITCH * MEM_LINES;
static_assert((MEM_SIZE & (MEM_SIZE - 1)) == 0, "the address counter wraps by masking");

// What the data port needs on its fast path. `data_port` holds the board's
// data port only while the fast path is open (board present, port granted, no
// capture running) and -1 otherwise, so that a closed fast path costs nothing
// but the one comparison every access makes anyway.
struct FastPath {
    int data_port = -1;
    std::uint32_t addr = 0;       // frame-memory address of the next data access
    std::uint64_t accesses = 0;   // port accesses since power-on, 1 us of bus time each
    unsigned char mem[MEM_SIZE];  // the frame memory itself
};
extern FastPath fast;

unsigned char slow_inp(unsigned short port);
void slow_outp(unsigned short port, unsigned char val);

}  // namespace kx29sim

inline unsigned char board_inp(unsigned short port) {
    kx29sim::FastPath& f = kx29sim::fast;
    if (port == f.data_port) [[likely]] {
        ++f.accesses;
        unsigned char v = f.mem[f.addr];
        f.addr = (f.addr + 1) & (kx29sim::MEM_SIZE - 1);
        return v;
    }
    return kx29sim::slow_inp(port);
}

inline void board_outp(unsigned short port, unsigned char val) {
    kx29sim::FastPath& f = kx29sim::fast;
    if (port == f.data_port) [[likely]] {
        // Counter and address are read before the byte store, which may alias them.
        const std::uint32_t a = f.addr;
        const std::uint64_t n = f.accesses;
        f.mem[a] = val;
        f.addr = (a + 1) & (kx29sim::MEM_SIZE - 1);
        f.accesses = n + 1;
        return;
    }
    kx29sim::slow_outp(port, val);
}
