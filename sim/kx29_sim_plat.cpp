// Platform calls of the simulated board: user ids and I/O permissions as the
// hardware would see them, real-time scheduling and memory locking for real
// where the system allows them.
#include "kx29_io.h"
#include "kx29_sim_board.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/mman.h>

using kx29sim::board;

namespace {

constexpr int NOBODY = 65534;

// The simulated daemon runs unprivileged as well: a refusal is reported once
// and the start-up goes on without the privilege.
int refused(const char* what) {
    std::fprintf(stderr, "kx29d-sim: %s refused (%s), running without it\n", what, std::strerror(errno));
    return 0;
}

}  // namespace

int kx29_getuid() { return board().opt.notroot ? NOBODY : 0; }
int kx29_geteuid() { return board().opt.notroot ? NOBODY : 0; }

// The simulated ids never change.
int kx29_setreuid(int, int) {
    board();
    return 0;
}

// The i386 rule: ports below 0x400 can be granted, a range reaching beyond
// fails with EINVAL; granting needs root.
int kx29_ioperm(unsigned long from, unsigned long num, int turn_on) {
    kx29sim::Board& b = board();
    if (from + num <= from || from + num > kx29sim::GRANT_LIMIT) {
        errno = EINVAL;
        return -1;
    }
    if (turn_on && b.opt.notroot) {
        errno = EPERM;
        return -1;
    }
    for (unsigned long p = from; p < from + num; ++p) b.granted[p] = turn_on != 0;
    kx29sim::update_fast_path(b);
    return 0;
}

int kx29_sched_setscheduler(int pid, int policy, const struct sched_param* param) {
    board();
    if (sched_setscheduler(pid, policy, param) == 0) return 0;
    return refused("real-time scheduling");
}

int kx29_mlockall(int flags) {
    board();
    if (mlockall(flags) == 0) return 0;
    return refused("memory locking");
}
