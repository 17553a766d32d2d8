// The scripted test board behind inp/outp in the test builds of the daemon.
#include "kx29_io.h"

#include <cerrno>
#include <csignal>
#include <memory>

namespace kx29test {

StatusScript toggling(long every) {
    return [every](long n) { return static_cast<unsigned char>(((n / every) & 1) ? STATUS_FIELD : 0); };
}

StatusScript stuck(unsigned char value) {
    return [value](long) { return value; };
}

static std::unique_ptr<TestBoard> the_board;

TestBoard& test_board() {
    if (!the_board) the_board = std::make_unique<TestBoard>();
    return *the_board;
}

void reset_test_board() { the_board = std::make_unique<TestBoard>(); }

std::vector<unsigned char> TestBoard::values(unsigned short offset, bool write) const {
    std::vector<unsigned char> v;
    for (const auto& a : trace)
        if (a.write == write && a.port == at(offset)) v.push_back(a.value);
    return v;
}

static void check_grant(TestBoard& b, unsigned short port) {
    if (b.enforce_grants && !b.granted[port]) raise(SIGSEGV);
}

unsigned char test_inp(unsigned short port) {
    TestBoard& b = test_board();
    check_grant(b, port);
    const int off = port - b.base;
    const unsigned char v = off == PORT_DATA ? b.cell() : off == PORT_STATUS ? b.status(b.status_reads++) : 0xFF;
    if (b.tracing) b.trace.push_back({false, port, v});
    return v;
}

void test_outp(unsigned short port, unsigned char val) {
    TestBoard& b = test_board();
    check_grant(b, port);
    if (b.tracing) b.trace.push_back({true, port, val});
    if (port == PORT_IO_DELAY) return;
    switch (port - b.base) {
    case PORT_DATA: b.cell() = val; break;
    case PORT_ADDR_RESET: b.line = 0; b.col = 0; break;
    case PORT_NEXT_LINE: ++b.line; b.col = 0; break;
    default: break;
    }
}

}  // namespace kx29test

using kx29test::test_board;

int kx29_getuid() { return test_board().uid; }
int kx29_geteuid() { return test_board().euid; }

int kx29_setreuid(int ruid, int euid) {
    test_board().setreuid_calls.emplace_back(ruid, euid);
    return 0;
}

int kx29_ioperm(unsigned long from, unsigned long num, int turn_on) {
    auto& b = test_board();
    if (from + num > b.grant_limit) {
        errno = EINVAL;
        return -1;
    }
    for (unsigned long p = from; p < from + num; ++p) b.granted[p] = turn_on != 0;
    return 0;
}

// A platform call that fails with `err` unless it is 0.
static int result(int err) {
    if (err) errno = err;
    return err ? -1 : 0;
}

int kx29_sched_setscheduler(int, int, const struct sched_param*) { return result(test_board().sched_errno); }
int kx29_mlockall(int) { return result(test_board().mlock_errno); }
