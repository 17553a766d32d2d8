// Byte-wide access to the KX29 board's I/O ports and the privileged platform
// calls of start-up. Exactly one board is compiled in: the real ports
// (KX29_BOARD_HW), the simulated board (KX29_BOARD_SIM) or the scripted test
// board (KX29_BOARD_TEST). The daemon cannot tell them apart.
#pragma once

#include <sched.h>

// Ports of the board's 32-port window, as offsets from base_port_29.
enum : unsigned short {
    PORT_DATA = 0,            // frame-memory pixel, auto-increments the column
    PORT_STATUS = 1,          // bit 1: field bit, bit 3: capture busy
    PORT_ADDR_RESET = 2,      // write 0: address to line 0, column 0
    PORT_NEXT_LINE = 3,       // write 0: address to column 0 of the next line
    PORT_CONTROL = 4,         // 0: host owns memory, tv_out: live, tv_out|1: capture
    PORT_CAMERA_SERIAL = 6,   // long-exposure camera line: bit 0 data, bit 1 clock
    PORT_OLUT_ADDR = 8,       // write 0: output look-up table to entry 0
    PORT_OLUT_DATA = 9,       // three writes per output table entry
    PORT_OLUT_MASK = 10,      // 255 after the output table is loaded
    PORT_IREG_SELECT = 16,    // input register for the next PORT_IREG_DATA write
    PORT_ILUT_DATA = 17,      // input look-up table entries 0..255
    PORT_IREG_DATA = 18,      // value of the selected input register
    PORT_XIL_RESET_OFF = 24,  // any write releases the FPGA reset
    PORT_XIL_RESET_ON = 26,   // any write asserts the FPGA reset
    PORT_XIL_DIN = 28,        // one FPGA configuration bit per write, in bit 0
};
constexpr unsigned short PORT_WINDOW = 32;
constexpr unsigned short PORT_IO_DELAY = 0x80;  // PC POST port: a write is a bus pause

constexpr unsigned char STATUS_FIELD = 0x02;
constexpr unsigned char STATUS_BUSY = 0x08;

// Privileged platform calls of start-up, supplied by the board in use.
int kx29_getuid();
int kx29_geteuid();
int kx29_setreuid(int ruid, int euid);
int kx29_ioperm(unsigned long from, unsigned long num, int turn_on);
int kx29_sched_setscheduler(int pid, int policy, const struct sched_param* param);
int kx29_mlockall(int flags);

#if defined(KX29_BOARD_HW)
#include "kx29_io_hw.h"
#elif defined(KX29_BOARD_SIM)
#include "kx29_sim_ports.h"
#elif defined(KX29_BOARD_TEST)
#include "kx29_test_ports.h"
#elif defined(KX29_BOARD_BENCH)
#include "kx29_bench_ports.h"
#else
#error "No board selected: define KX29_BOARD_HW, KX29_BOARD_SIM, KX29_BOARD_TEST or KX29_BOARD_BENCH"
#endif

inline unsigned char inp(unsigned short port) { return board_inp(port); }
inline void outp(unsigned short port, unsigned char val) { board_outp(port, val); }
