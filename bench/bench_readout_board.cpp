// The benchmark board's frame memory and its platform calls, which do nothing.
#include "kx29_io.h"

namespace kx29bench {
BenchBoard bench_board;
}

int kx29_getuid() { return 0; }
int kx29_geteuid() { return 0; }
int kx29_setreuid(int, int) { return 0; }
int kx29_ioperm(unsigned long, unsigned long, int) { return 0; }
int kx29_sched_setscheduler(int, int, const struct sched_param*) { return 0; }
int kx29_mlockall(int) { return 0; }
