// Platform calls of the real board: the system calls themselves.
#include "kx29_io.h"

#include <sys/io.h>
#include <sys/mman.h>
#include <unistd.h>

int kx29_getuid() { return static_cast<int>(getuid()); }
int kx29_geteuid() { return static_cast<int>(geteuid()); }
int kx29_setreuid(int ruid, int euid) { return setreuid(ruid, euid); }
int kx29_ioperm(unsigned long from, unsigned long num, int turn_on) {
    return ioperm(from, num, turn_on);
}
int kx29_sched_setscheduler(int pid, int policy, const struct sched_param* param) {
    return sched_setscheduler(pid, policy, param);
}
int kx29_mlockall(int flags) { return mlockall(flags); }
