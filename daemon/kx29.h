// Records shared by the daemon's sources and by client programs: the channel
// record of the shared segment, the command bits, the channel configuration,
// and the daemon's globals and routines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

// ---- Command word (TVchan::command) ----------------------------------------
// Bits set by a client and cleared by the daemon when the work is done.
enum : int {
    CMD_CLEAR = 0x01,    // with ACQUIRE: first frame replaces; alone: zero image once
    CMD_ACQUIRE = 0x02,  // acquire nexp images of nadd frames
    CMD_CCD = 0x04,      // bias/flat correction while reading
    CMD_SHOW = 0x08,     // write the image to the board's video output
    CMD_RELOAD = 16,     // compared with the whole word: reload the channel
};

// ---- Capacity of a record --------------------------------------------------
constexpr int KX29_MAX_COLS = 768;
constexpr int KX29_MAX_LINES = 576;
constexpr int KX29_IMAGE_PIXELS = KX29_MAX_COLS * KX29_MAX_LINES;  // 442368
constexpr int KX29_MSG_LEN = 100;
constexpr int KX29_CHANNELS = 4;

// ---- Channel record --------------------------------------------------------
// The record lives in System V shared memory and is read by clients built for
// i386 as well as x86_64. The i386 rules align the double on 4 bytes, so the
// record is packed to 4 to keep one layout (888004 bytes, no gaps) everywhere.
// Records 1 and 3 start at offsets that are not multiples of 8.
#pragma pack(push, 4)
struct TVchan {
    int num;          // channel number 0..3 (daemon)
    int tandem;       // non-zero: long-exposure camera (daemon)
    double exposure;  // long-exposure time in seconds (client)
    int activ;        // ACTIV_SWITCHED | ACTIV_WRITING bits (daemon)
    int seqn;         // +1 per frame read and per clear (daemon)
    int tstart;       // time of the last replacing frame (daemon)
    int tcurr;        // time of the most recent frame (daemon)
    int command;      // command word (both)
    int nexp;         // images still to acquire (both)
    int nadd;         // frames per image (both)
    int nadded;       // frames in the current image (daemon)
    int addlev;       // sum of sub-levels of the current image (daemon)
    int next_form;    // requested format 1..2 (client)
    int form;         // loaded format (daemon)
    int ref_lev;      // reference (black) level, low 6 bits used (client)
    int img_width;    // image geometry of the loaded format (daemon)
    int img_height;
    int frm_width;    // measurement window (both)
    int frm_height;
    int frm_col0;
    int frm_lin0;
    int seqmsg;                 // +1 after every rewrite of msg (daemon)
    char msg[KX29_MSG_LEN];     // last message, NUL-terminated (daemon)
    int bias;                   // CCD bias in grey levels (client)
    int flat[KX29_MAX_COLS];    // per-column CCD offsets, 1/256 grey level (both)
    short image[KX29_IMAGE_PIXELS];  // row-major, stride img_width (daemon)
};
#pragma pack(pop)

static_assert(sizeof(TVchan) == 888004, "Invalid ABI size change of TVchan");
static_assert(alignof(TVchan) == 4, "TVchan must align like on i386");
static_assert(std::is_standard_layout_v<TVchan> && std::is_trivially_copyable_v<TVchan>);
static_assert(offsetof(TVchan, num) == 0 && offsetof(TVchan, tandem) == 4);
static_assert(offsetof(TVchan, exposure) == 8 && offsetof(TVchan, activ) == 16);
static_assert(offsetof(TVchan, seqn) == 20 && offsetof(TVchan, tstart) == 24);
static_assert(offsetof(TVchan, tcurr) == 28 && offsetof(TVchan, command) == 32);
static_assert(offsetof(TVchan, nexp) == 36 && offsetof(TVchan, nadd) == 40);
static_assert(offsetof(TVchan, nadded) == 44 && offsetof(TVchan, addlev) == 48);
static_assert(offsetof(TVchan, next_form) == 52 && offsetof(TVchan, form) == 56);
static_assert(offsetof(TVchan, ref_lev) == 60 && offsetof(TVchan, img_width) == 64);
static_assert(offsetof(TVchan, img_height) == 68 && offsetof(TVchan, frm_width) == 72);
static_assert(offsetof(TVchan, frm_height) == 76 && offsetof(TVchan, frm_col0) == 80);
static_assert(offsetof(TVchan, frm_lin0) == 84 && offsetof(TVchan, seqmsg) == 88);
static_assert(offsetof(TVchan, msg) == 92 && offsetof(TVchan, bias) == 192);
static_assert(offsetof(TVchan, flat) == 196 && offsetof(TVchan, image) == 3268);
static_assert(sizeof(int) == 4 && sizeof(short) == 2 && sizeof(double) == 8);

// ---- Shared segment ----------------------------------------------------------
// Four records, then the PID word of the running daemon (0 when none).
constexpr int shm_size = KX29_CHANNELS * static_cast<int>(sizeof(TVchan));  // 3552016
constexpr int KX29_SEGMENT_BYTES = shm_size + 4;                           // 3552020
constexpr int KX29_PID_OFFSET = shm_size;
static_assert(shm_size == 3552016 && KX29_SEGMENT_BYTES == 3552020);

// Key of the segment: four characters read as a little-endian int.
struct ShmKey {
    char name[5];  // four characters and NUL, as the messages print them
    int code;      // System V IPC key
};
// The default key "KX29", or the four printable characters of KX29_KEY.
// Returns false (and leaves *key untouched) when KX29_KEY is set to anything else.
bool kx29_key_from_env(ShmKey* key);
bool kx29_key_from_text(const char* text, ShmKey* key);

// Whether process `pid` serves the segment `shmid` of IPC key `key`: it is not
// a zombie and its memory map shows the segment attached. A map the caller may
// not read (another user's process) is taken on trust when the segment has an
// attachment besides the caller's. `by_name`: the program name must also be a
// daemon's (kx29d...), so that no attached client passes for one.
bool kx29_daemon_on_segment(int pid, int shmid, int key, bool by_name);

// ---- Channel configuration ---------------------------------------------------
constexpr int SPE_BUF_SIZE = 4096;
constexpr int SPE_NAME_SIZE = 80;
constexpr int SPE_DIR_SIZE = 100;

struct SpeDef {               // one FPGA configuration image
    int size;                 // expected file length in bytes
    char name[SPE_NAME_SIZE]; // file name inside spe_dir
    char buf[SPE_BUF_SIZE];   // image bytes, read at start-up
    int sum;                  // expected sum of the bytes as signed chars
};

struct ChanDef {              // configuration of one channel
    int tandem;
    SpeDef spe1;
    int cols1, lines1;
    SpeDef spe2;
    int cols2, lines2;
};

union PAddr {                 // target of a configuration row
    char* c;
    int* i;
    double* f;
    char* s;
};

struct ConfParam {            // one row of the configuration table
    const char* name;
    char type;                // 'c', 'f', 'i' or 's'
    PAddr addr;
    int size;                 // capacity of an 's' target in bytes
};

// ---- Daemon globals and routines ---------------------------------------------
// Configuration (kx29_init)
extern int ver_board_29;
extern int base_addr;
extern char spe_dir[SPE_DIR_SIZE];
extern unsigned char tv_out;
extern unsigned char level_syng_29;
extern ChanDef chan0, chan1, chan2, chan3;
extern ChanDef* chan[KX29_CHANNELS];
extern ConfParam conf[];
extern ShmKey shm_key;
constexpr int SEGMENT_GROUP_SIZE = 33;  // a group name and its NUL
extern char segment_group[SEGMENT_GROUP_SIZE];

// Shared segment (kx29_init)
extern unsigned char* shm_addr;
extern TVchan* tvch[KX29_CHANNELS];
extern TVchan* curch;
extern TVchan* tandch;

// Board state (kx29_init, kx29_comn)
extern unsigned short base_port_29;
extern int set_first_chan;

// Statistics of the last readout (kx29_comn)
extern int hist[256];
extern int imin, imax, hmax;
extern double hmed, havr, hdisp;

// Field selectors of wait_switch
constexpr int Odd = 0, Next = 1, Even = 2;

// kx29_comn
void wall_msg(const char* new_msg);
void mydelay(double dt);
int wait_switch(int odd_even);
int wait_sync();
void set_ref_lev(int high);
int inputFrame29();
int inputFrameTandem(double sec);
void setTamdem(int sync_mode, int acc_start, int acc_type);
void read_frame(int ADD, int Lev0, int CCD);
void write_image();

// kx29_init
void read_conf();
int check_conf_geometry();
void read_spe_files();
int check_config();  // problems found in what start-up reads, each reported
int spe_checksum(const char* buf, int size);
void get_sh_mem();
void kx29_init();
void init_io();
void kx29_exit(int nsig);
void keep_pid_word();  // puts the daemon's PID back into a PID word someone overwrote
void set_chan(int ch_num, int ch_form);
void reset_xil29();
void init_lut_inp();

// kx29_main: the acquisition loop
extern double tdelay;
void loop_start();     // per-channel tables, after kx29_init
void loop_channels();  // the turns of channels 0..3 of one pass; leaves tdelay
void loop_pause();     // the pause that ends a pass
void loop_pass();      // both

// Record fields are client-writable: counters wrap like the 32-bit words they
// are instead of overflowing.
inline int wrap_add(int a, int b) { return static_cast<int>(static_cast<unsigned>(a) + static_cast<unsigned>(b)); }
inline int wrap_mul(int a, int b) { return static_cast<int>(static_cast<unsigned>(a) * static_cast<unsigned>(b)); }

// Atomic changes of a command word that a client may write at the same time.
inline void cmd_clear_bits(TVchan* ch, int bits) {
    __atomic_fetch_and(&ch->command, ~bits, __ATOMIC_SEQ_CST);
}
inline int cmd_read(const TVchan* ch) {
    return __atomic_load_n(&ch->command, __ATOMIC_SEQ_CST);
}

// The bits of activ. Bit 0: the board is switched to this channel (the 1 of
// old). Bit 1: the daemon is writing into the record's image and tallies (a
// frame's readout up to its message, or a clear). A client that reads activ
// without bit 1, copies the image, then reads activ without bit 1 and seqn
// unchanged holds an image no frame was written into meanwhile.
constexpr int ACTIV_SWITCHED = 1;
constexpr int ACTIV_WRITING = 2;
inline void image_write_begin(TVchan* ch) { __atomic_fetch_or(&ch->activ, ACTIV_WRITING, __ATOMIC_SEQ_CST); }
inline void image_write_end(TVchan* ch) { __atomic_fetch_and(&ch->activ, ~ACTIV_WRITING, __ATOMIC_SEQ_CST); }
