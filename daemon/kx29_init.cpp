// Start-up of the daemon: configuration, FPGA images, the shared segment,
// port permissions, FPGA loading and channel switching, board check, shutdown.
#include "kx29.h"
#include "kx29_io.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/shm.h>
#include <unistd.h>

// ---- Configuration and its defaults ------------------------------------------

int ver_board_29 = 2;
int base_addr = 0x300;
char spe_dir[SPE_DIR_SIZE] = "spe";
unsigned char tv_out = 2;
unsigned char level_syng_29 = 12;

#define KX29_SPE(name, size, sum) {size, name, {}, sum}
ChanDef chan0 = {0, KX29_SPE("fmta.spe", 3854, 7302), 768, 512, KX29_SPE("fmtb.spe", 3854, 8977), 512, 512};
ChanDef chan1 = {1, KX29_SPE("lexpa.spe", 3854, 8109), 768, 576, KX29_SPE("lexpb.spe", 3854, 10593), 512, 512};
ChanDef chan2 = {0, KX29_SPE("fmta.spe", 3854, 7302), 768, 512, KX29_SPE("fmtb.spe", 3854, 8977), 512, 512};
ChanDef chan3 = {0, KX29_SPE("fmta.spe", 3854, 7302), 768, 512, KX29_SPE("fmtb.spe", 3854, 8977), 512, 512};
#undef KX29_SPE
ChanDef* chan[KX29_CHANNELS] = {&chan0, &chan1, &chan2, &chan3};

#define KX29_INT(key, target) {key, 'i', {.i = &(target)}, 0}
#define KX29_STR(key, target) {key, 's', {.s = (target)}, static_cast<int>(sizeof(target))}
#define KX29_CHAN_ROWS(N, cd)                                                         \
    KX29_INT("chan" #N ".tandem", cd.tandem), KX29_INT("chan" #N ".spe1.size", cd.spe1.size), \
    KX29_STR("chan" #N ".spe1.name", cd.spe1.name), KX29_INT("chan" #N ".spe1.sum", cd.spe1.sum), \
    KX29_INT("chan" #N ".cols1", cd.cols1), KX29_INT("chan" #N ".lines1", cd.lines1),        \
    KX29_INT("chan" #N ".spe2.size", cd.spe2.size), KX29_STR("chan" #N ".spe2.name", cd.spe2.name), \
    KX29_INT("chan" #N ".spe2.sum", cd.spe2.sum), KX29_INT("chan" #N ".cols2", cd.cols2),    \
    KX29_INT("chan" #N ".lines2", cd.lines2)

ConfParam conf[] = {
    KX29_INT("ver_board", ver_board_29),
    KX29_INT("base_addr", base_addr),
    KX29_STR("spe_dir", spe_dir),
    KX29_CHAN_ROWS(0, chan0),
    KX29_CHAN_ROWS(1, chan1),
    KX29_CHAN_ROWS(2, chan2),
    KX29_CHAN_ROWS(3, chan3),
    {nullptr, 0, {nullptr}, 0},
};
#undef KX29_CHAN_ROWS
#undef KX29_STR
#undef KX29_INT

ShmKey shm_key = {"KX29", 0x3932584b};

// ---- Shared segment and board state ------------------------------------------

unsigned char* shm_addr = nullptr;
TVchan* tvch[KX29_CHANNELS] = {};
TVchan* curch = nullptr;
TVchan* tandch = nullptr;

unsigned short base_port_29 = 0x300;
int set_first_chan = 1;
