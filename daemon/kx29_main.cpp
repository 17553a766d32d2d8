// Entry point of the daemon and the acquisition loop over the four channels.
#include "kx29.h"
#include "kx29_io.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

// Per-channel tables of the loop, indexed by channel number.
static int nadd[KX29_CHANNELS];   // frames still to read of the image under way
static int first[KX29_CHANNELS];  // 1 while the next frame is the first of an image
static int lev[KX29_CHANNELS];    // sub-level for the next added frame
static int e_lev[KX29_CHANNELS];  // reference level last taken into account

double tdelay = 0.1;  // pause at the end of the pass, seconds

static const double IDLE_PAUSE = 0.1;
static const double MAX_PACING_PAUSE = 0.3;  // a full-image window between images

// Writes a complete message into the record, then counts it.
static void post_msg(TVchan* r, const char* text) {
    snprintf(r->msg, KX29_MSG_LEN, "%s", text);
    r->seqmsg = wrap_add(r->seqmsg, 1);
}

static bool needs_switch(int nch, const TVchan* r) {
    return r != curch || r->form != r->next_form || r->ref_lev != e_lev[nch];
}

static void switch_to(int nch, TVchan* r) {
    if (r->ref_lev != e_lev[nch] || curch->ref_lev != r->ref_lev) {
        e_lev[nch] = r->ref_lev;
        set_first_chan = 1;
    }
    set_chan(nch, r->next_form);
    printf("Chan%d %dx%d format [%d,%d:%d,%d]\n", nch, r->img_width, r->img_height, r->frm_col0, r->frm_lin0,
           wrap_add(r->frm_col0, r->frm_width), wrap_add(r->frm_lin0, r->frm_height));
}

static void frame_read(int nch, TVchan* r, int add_rd, int ccd_rd, int tbeg) {
    const int lev0 = add_rd ? lev[nch] : 0;
    image_write_begin(r);
    read_frame(add_rd, lev0, ccd_rd);
    r->seqn = wrap_add(r->seqn, 1);
    r->tcurr = tbeg;
    if (add_rd) {
        r->nadded = wrap_add(r->nadded, 1);
        r->addlev = wrap_add(r->addlev, lev0);
    } else {
        r->addlev = lev0;
        r->nadded = 1;
        r->tstart = tbeg;
    }
    char text[KX29_MSG_LEN];
    snprintf(text, sizeof text, "Frame%d(%s%d SubLev=%d): Min=%d Max=%d Med=%.1f Avr=%.1f Disp=%.2f", r->seqn,
             add_rd ? "Add" : "Get", r->nadded, r->addlev, imin, imax, hmed, havr, hdisp);
    snprintf(r->msg, KX29_MSG_LEN, "%s", text);
    printf("%s\n", text);
    lev[nch] = static_cast<int>(havr + 0.5);
    r->seqmsg = wrap_add(r->seqmsg, 1);
    image_write_end(r);
}

static void frame_failed(int nch, TVchan* r) {
    static const char failure[] = "Can't read frame, no video!!!";
    post_msg(r, failure);
    fprintf(stderr, "%s\n", failure);
    nadd[nch] = 0;
    r->nadd = 0;
    r->nexp = 0;
}

// Pause after a frame, from the share of the image the readout passed through:
// within an image it grows with the square of the share (with short pauses
// spread over every n-th frame when small), between images linearly.
static void pace(const TVchan* r, bool image_done) {
    const int in = wrap_mul(r->img_width, r->img_height);
    const int fn = wrap_mul(wrap_add(r->frm_col0, r->frm_width), r->frm_height);
    if (in <= 0) {
        tdelay = IDLE_PAUSE;
        return;
    }
    if (image_done) {
        tdelay = 0.3 * fn / in;
        if (tdelay < 0.02) tdelay = 0.02;
    } else {
        const double k = static_cast<double>(fn) / in;
        tdelay = 0.2 * k * k;
        if (tdelay < 0.02 && tdelay > 0) {
            const double periods = 0.02 / tdelay + 0.5;
            const int n = periods > 20 ? 20 : static_cast<int>(periods);
            tdelay = r->nadded % n == 0 ? 0.02 : 0;
        }
    }
    if (tdelay > MAX_PACING_PAUSE) tdelay = MAX_PACING_PAUSE;  // only a window beyond the image gets here
}

static void finish_frame(int nch, TVchan* r) {
    first[nch] = 0;
    if (nadd[nch] > 0) --nadd[nch];
    if (nadd[nch] != 0) {
        pace(r, false);
        return;
    }
    if (r->nexp > 0) --r->nexp;
    if (r->nexp == 0)
        cmd_clear_bits(r, CMD_CLEAR | CMD_ACQUIRE);
    else
        pace(r, true);
}

// One frame of an acquisition. Returns false when the gate is closed, which
// ends the channel's turn.
static bool acquisition_step(int nch) {
    TVchan* r = tvch[nch];
    if (r->nexp == 0 || r->nadd == 0) {
        nadd[nch] = 0;
        return false;
    }
    if (nadd[nch] == 0) {
        nadd[nch] = r->nadd;
        first[nch] = 1;
    }
    if (needs_switch(nch, r)) switch_to(nch, r);

    const int tbeg = static_cast<int>(time(nullptr));
    const int cmd = cmd_read(r);
    const int add_rd = (cmd & CMD_CLEAR) && first[nch] ? 0 : 1;
    const int ccd_rd = cmd & CMD_CCD ? 1 : 0;
    const double exposure = r->exposure;
    const int ret = r->tandem && exposure > 0.041 ? inputFrameTandem(exposure) : inputFrame29();
    if (ret == 0)
        frame_read(nch, r, add_rd, ccd_rd, tbeg);
    else
        frame_failed(nch, r);
    finish_frame(nch, r);
    return true;
}

static void clear_step(int nch) {
    TVchan* r = tvch[nch];
    image_write_begin(r);
    memset(r->image, 0, sizeof r->image);
    nadd[nch] = 0;
    first[nch] = 1;
    r->seqn = wrap_add(r->seqn, 1);
    image_write_end(r);
    cmd_clear_bits(r, CMD_CLEAR);
}

static void show_step(int nch) {
    TVchan* r = tvch[nch];
    if (r != curch) set_chan(nch, r->next_form);
    write_image();
    cmd_clear_bits(r, CMD_SHOW);
}

// A word of exactly 16 asks for a reload; it becomes 0 first. Returns false
// when a client changed the word in between (it is then handled next pass).
static bool take_reload(TVchan* r) {
    int expected = CMD_RELOAD;
    return __atomic_compare_exchange_n(&r->command, &expected, 0, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
}

static void channel_turn(int nch) {
    TVchan* r = tvch[nch];
    const int cmd = cmd_read(r);
    if (cmd == 0) {
        nadd[nch] = 0;
        return;
    }
    if (cmd == CMD_RELOAD) {
        if (take_reload(r)) {
            set_first_chan = 1;
            set_chan(nch, r->next_form);
        }
        return;
    }
    if (cmd & CMD_ACQUIRE) {
        if (!acquisition_step(nch)) return;
    } else if (cmd & CMD_CLEAR) {
        clear_step(nch);
    }
    if ((cmd_read(r) & CMD_SHOW) && ver_board_29 > 1) show_step(nch);
}

void loop_start() {
    tdelay = IDLE_PAUSE;
    for (int nch = 0; nch < KX29_CHANNELS; ++nch) {
        lev[nch] = 0;
        nadd[nch] = 0;
        e_lev[nch] = tvch[nch]->ref_lev;
    }
}

void loop_channels() {
    for (int nch = 0; nch < KX29_CHANNELS; ++nch) channel_turn(nch);
}

void loop_pause() {
    if (tdelay >= 0.01) mydelay(tdelay);
    tdelay = IDLE_PAUSE;
}

void loop_pass() {
    keep_pid_word();
    loop_channels();
    loop_pause();
}

#ifndef KX29_NO_MAIN
#include "kx29_version.h"

#ifndef KX29_PROGRAM
#define KX29_PROGRAM "kx29d"
#endif

// Exit statuses of the options; the daemon itself keeps its own (see README).
enum : int { EXIT_USAGE = 2 };

static void print_usage(FILE* to) {
    fprintf(to,
            "Usage: " KX29_PROGRAM " [--help | --version | --check-config]\n"
            "Without an option: run the acquisition daemon of the KX29 board, configured by\n"
            "kx29.conf and the FPGA images in the working directory, on the shared segment\n"
            "named by KX29_KEY (default KX29).\n"
            "  --help          this text\n"
            "  --version       the version\n"
            "  --check-config  read kx29.conf and the FPGA images, report every problem and\n"
            "                  exit 0 (none) or 1, touching no segment and no port\n");
}

// The daemon's single option; exits with the option's status.
[[noreturn]] static void run_option(const char* option) {
    if (strcmp(option, "--help") == 0) {
        print_usage(stdout);
        exit(0);
    }
    if (strcmp(option, "--version") == 0) {
        printf(KX29_PROGRAM " " KX29_VERSION "\n");
        exit(0);
    }
    if (strcmp(option, "--check-config") == 0) {
        const int problems = check_config();
        if (problems == 0)
            printf("configuration OK\n");
        else
            printf("configuration: %d problem%s\n", problems, problems == 1 ? "" : "s");
        exit(problems == 0 ? 0 : 1);
    }
    fprintf(stderr, KX29_PROGRAM ": unknown option '%s'\n", option);
    print_usage(stderr);
    exit(EXIT_USAGE);
}

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);  // progress lines reach a log as they happen
    if (argc > 2) {
        fprintf(stderr, KX29_PROGRAM ": one option at most\n");
        print_usage(stderr);
        return EXIT_USAGE;
    }
    if (argc == 2) run_option(argv[1]);
    kx29_init();
    loop_start();
    for (;;) loop_pass();
}
#endif
