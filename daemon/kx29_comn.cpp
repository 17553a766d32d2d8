// Board routines shared by start-up and the acquisition loop: video timing,
// sleeps, frame capture, readout with correction and statistics, write-back.
#include "kx29.h"
#include "kx29_io.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <sys/select.h>

// ---- Statistics of the last readout ------------------------------------------

int hist[256];
int imin, imax, hmax;
double hmed, havr, hdisp;

// ---- Port helpers ---------------------------------------------------------------

// Board ports are the base plus an offset, in 16-bit arithmetic.
static unsigned short board_port(unsigned short offset) {
    return static_cast<unsigned short>(base_port_29 + offset);
}

// A write to an input register is followed by one bus pause on port 0x80.
static void outp_paced(unsigned short offset, unsigned char val) {
    outp(board_port(offset), val);
    outp(PORT_IO_DELAY, 0);
}

// ---- Messages -------------------------------------------------------------------

// Copies at most 99 characters and pads the rest of the 99 with NUL bytes; the
// last byte of msg is never written and stays the record's terminating 0.
static void post_msg(TVchan* ch, const char* text) {
    int k = 0;
    for (; k < KX29_MSG_LEN - 1 && text[k]; ++k) ch->msg[k] = text[k];
    for (; k < KX29_MSG_LEN - 1; ++k) ch->msg[k] = 0;
    ch->seqmsg = wrap_add(ch->seqmsg, 1);
}

void wall_msg(const char* new_msg) {
    for (TVchan* ch : tvch)
        if (ch) post_msg(ch, new_msg);
}

// ---- Video timing and sleeps ------------------------------------------------------

// A field wait gives up after this many polls (a count of port reads, not a time).
constexpr int FIELD_POLLS = 40000;

int wait_switch(int odd_even) {
    const unsigned short status = board_port(PORT_STATUS);
    int field = odd_even;
    if (odd_even == Next) field = inp(status) & STATUS_FIELD;
    int i = FIELD_POLLS;
    while (--i > 0) {
        if ((inp(status) & STATUS_FIELD) != field) break;
    }
    return i;
}

int wait_sync() {
    int i = wait_switch(Odd);
    if (i > 0) i = wait_switch(Even);
    return i;
}

// Shortest sleep select() is asked for while the whole-second part is 0.
constexpr long MIN_SLEEP_USEC = 10000;

void mydelay(double dt) {
    timeval tv;
    if (!(dt > -1.0)) {
        // -1 s or less (or not a number) would give select() a negative time
        // record, which it refuses at once: sleep the shortest sleep instead.
        tv.tv_sec = 0;
        tv.tv_usec = 0;
    } else {
        if (dt > INT_MAX) dt = INT_MAX;  // whole seconds are truncated to an int
        tv.tv_sec = static_cast<int>(dt);
        tv.tv_usec = static_cast<int>((dt - static_cast<double>(tv.tv_sec)) * 1000000.0);
    }
    if (tv.tv_sec == 0 && tv.tv_usec < MIN_SLEEP_USEC) tv.tv_usec = MIN_SLEEP_USEC;
    // Linux updates tv to the time still left, so an interrupted sleep resumes.
    while (select(0, nullptr, nullptr, nullptr, &tv) < 0) {
        if (errno == EINTR) continue;
        std::fprintf(stderr, "Error in mydelay(){ select() }. %s\n", std::strerror(errno));
        return;
    }
}

// ---- Input stage --------------------------------------------------------------------

void set_ref_lev(int high) {
    high &= 63;
    outp_paced(PORT_IREG_SELECT, 1);  // register 1: reference level in bits 7-2
    outp_paced(PORT_IREG_DATA, static_cast<unsigned char>(high << 2));
    outp_paced(PORT_IREG_SELECT, 2);  // register 2: always 0
    outp_paced(PORT_IREG_DATA, 0);
    outp_paced(PORT_IREG_SELECT, 0);  // leave the channel register selected
    std::printf("set_ref_lev(%d)\n", high);
}

// ---- Frame capture ------------------------------------------------------------------

// Capture busy bit polls before a capture counts as stuck.
constexpr int CAPTURE_POLLS = 40000;

static unsigned char capture_control() { return static_cast<unsigned char>(tv_out | 1); }

int inputFrame29() {
    const unsigned short control = board_port(PORT_CONTROL);
    const unsigned short status = board_port(PORT_STATUS);
    if (wait_switch(Next) == 0) return 1;  // no video: the board is not touched
    outp(control, capture_control());
    mydelay(0.011);
    int j = CAPTURE_POLLS;
    while (--j > 0) {
        if (!(inp(status) & STATUS_BUSY)) break;
    }
    if (j <= 0) return 2;  // the capture never finished; control stays at capture
    wait_switch(Next);
    outp(control, 0);
    return 0;
}

// Fixed fields of the long-exposure camera's command word.
static constexpr int agc_on = 0;     // automatic gain off
static constexpr int gamma_off = 1;  // linear response
static constexpr int exposure = 7;   // camera's 3-bit exposure code

// Camera serial line: bit 0 data, bit 1 clock.
constexpr unsigned char CAMERA_CLOCK = 0x02;

// The camera latches a bit on the clock pulse: data is set with the clock low,
// held while the clock goes high and low again. Words go LSB first.
void setTamdem(int sync_mode, int acc_start, int acc_type) {
    const unsigned short line = board_port(PORT_CAMERA_SERIAL);
    const int word = (sync_mode & 1) | (acc_start & 1) << 1 | (acc_type & 1) << 2 |
                     agc_on << 3 | gamma_off << 4 | exposure << 5;
    for (int bit = 0; bit < 8; ++bit) {
        const unsigned char b = static_cast<unsigned char>((word >> bit) & 1);
        outp(line, b);
        outp(line, b | CAMERA_CLOCK);
        outp(line, b);
    }
    outp(line, 0);  // line idle
}

// Long-exposure timing, in seconds.
constexpr double FRAME_PERIOD = 0.04;       // one countdown step per frame boundary
constexpr double COUNTDOWN_END = 0.01;
constexpr double MESSAGE_WINDOW = 0.05;     // after each whole second: post the time left
constexpr double STEP_SLEEP = 0.021;
constexpr double DELIVERY_SLEEP = 0.061;

// Counts the exposure down one frame boundary at a time while the client keeps
// CMD_ACQUIRE set. Returns 1 when a frame boundary was not seen, else 0.
static int count_exposure_down(double sec) {
    char msg[KX29_MSG_LEN];
    while (sec > COUNTDOWN_END && (cmd_read(curch) & CMD_ACQUIRE)) {
        if (std::fmod(sec, 1.0) < MESSAGE_WINDOW) {
            std::snprintf(msg, sizeof msg, "Tandem Exposure: %.1f", sec);
            wall_msg(msg);
            keep_pid_word();  // the loop's passes wait for the exposure's end
        } else {
            mydelay(STEP_SLEEP);
        }
        if (wait_sync() == 0) return 1;
        sec -= FRAME_PERIOD;
    }
    return 0;
}

// Grabs the frame the camera delivers after integration ended. On a missing
// frame boundary the control port is left at capture and 1 is returned.
static int grab_delivered_frame() {
    const unsigned short control = board_port(PORT_CONTROL);
    outp(control, capture_control());
    mydelay(DELIVERY_SLEEP);
    if (wait_sync() == 0) return 1;
    outp(control, 0);
    return 0;
}

static int expose_and_grab(double sec) {
    setTamdem(0, 0, 1);  // prepare the exposure
    if (wait_sync() == 0) return 1;
    setTamdem(0, 1, 1);  // start integrating
    if (count_exposure_down(sec)) return 1;
    setTamdem(1, 0, 1);  // end integrating, deliver the frame
    return grab_delivered_frame();
}

int inputFrameTandem(double sec) {
    const int ret = expose_and_grab(sec);
    setTamdem(1, 0, 0);  // back to normal video, whatever happened
    char msg[KX29_MSG_LEN];
    std::snprintf(msg, sizeof msg, "Tandem Exposure: %s", ret ? "FAIL" : "Ok");
    wall_msg(msg);
    return ret;
}

// ---- Frame readout ----------------------------------------------------------------------

// Clients write the record at any time; each geometry field is read once.
static int shared_int(const int& field) { return __atomic_load_n(&field, __ATOMIC_RELAXED); }

static long long clamp_ll(long long v, long long lo, long long hi) {
    return v < lo ? lo : v > hi ? hi : v;
}

// Image size actually used: what fits into the record's flat and image arrays.
struct Geometry {
    int width;   // columns per line, 1..768
    int height;  // lines, 1..442368 / width
};

static Geometry geometry_in_use(const TVchan* ch) {
    Geometry g;
    g.width = static_cast<int>(clamp_ll(shared_int(ch->img_width), 1, KX29_MAX_COLS));
    g.height = static_cast<int>(clamp_ll(shared_int(ch->img_height), 1, KX29_IMAGE_PIXELS / g.width));
    return g;
}

// Window [first, end) along one axis of `size` pixels, clamped into the image;
// an empty window is one pixel wide.
struct Span {
    int first, end;
};

static Span window_span(int first, int length, int size) {
    const long long lo = clamp_ll(first, 0, size - 1);
    long long hi = clamp_ll(static_cast<long long>(first) + length, 0, size);
    if (hi <= lo) hi = lo + 1;
    return {static_cast<int>(lo), static_cast<int>(hi)};
}

struct Window {
    int i0, in, ie;  // first window line, line after the window, image height
    int j0, jn, je;  // first window column, column after the window, image width
};

static Window window_in_use(const TVchan* ch) {
    const Geometry g = geometry_in_use(ch);
    const Span lines = window_span(shared_int(ch->frm_lin0), shared_int(ch->frm_height), g.height);
    const Span cols = window_span(shared_int(ch->frm_col0), shared_int(ch->frm_width), g.width);
    return {lines.first, lines.end, g.height, cols.first, cols.end, g.width};
}

// Offsets added to a raw pixel are kept within +-OFFSET_LIMIT. Beyond it the
// sum with any raw value (0..255) and any stored pixel saturates anyway, so the
// limit keeps the pixel arithmetic in int without changing a result.
constexpr long long OFFSET_LIMIT = 70000;

static int pixel_offset(long long v) {
    return static_cast<int>(clamp_ll(v, -OFFSET_LIMIT, OFFSET_LIMIT));
}

// CCD correction of the window columns. A pixel c becomes
//   ((c - bias) * 256 - flat[j] + ccd_favr + 128) >> 8
// and the sub-level is lowered by bias as well. The shift is a floor division
// by 256, so the bias cancels exactly: the stored value is c - Lev0 plus
// floor((ccd_favr - flat[j] + 128) / 256), the column's deviation from the
// window mean rounded to whole grey levels. Fills col_off[j0..jn-1] with that
// term minus Lev0, and raises flat entries below 1 to 1 in the record.
static void ccd_column_offsets(TVchan* ch, const Window& w, int Lev0, int* col_off) {
    long long ccd_favr = 1;  // the sum starts from 1, not from 0
    for (int j = w.j0; j < w.jn; ++j) {
        int f = ch->flat[j];
        if (f < 1) {
            f = 1;
            ch->flat[j] = 1;
        }
        col_off[j] = f;
        ccd_favr += f;
    }
    const long long cols = w.jn - w.j0;
    ccd_favr = (ccd_favr + cols / 2) / cols;
    for (int j = w.j0; j < w.jn; ++j) {
        const long long correction = (ccd_favr - col_off[j] + 128) >> 8;
        col_off[j] = pixel_offset(correction - Lev0);
    }
}

static short saturate16(int v) {
    return static_cast<short>(v < -32768 ? -32768 : v > 32767 ? 32767 : v);
}

// Columns left of the window: read for the histogram only.
static void count_pixels(unsigned short data, int count) {
    for (int j = 0; j < count; ++j) ++hist[inp(data)];
}

// The window part of one line. With CCD each column has its own offset,
// otherwise all share `offset`; with ADD the pixel is added to the image.
template <bool ADD, bool CCD>
static void read_window_pixels(unsigned short data, short* px, int count, const int* col_off,
                               int offset, int& lo, int& hi) {
    int mn = lo, mx = hi;
    for (int j = 0; j < count; ++j) {
        const int c = inp(data);
        ++hist[c];
        mn = c < mn ? c : mn;
        mx = c > mx ? c : mx;
        int v = c + (CCD ? col_off[j] : offset);
        if constexpr (ADD) v += px[j];
        px[j] = saturate16(v);
    }
    lo = mn;
    hi = mx;
}

// Lines outside the window are skipped with a line strobe, unread; in a window
// line reading stops at the window's right edge.
template <bool ADD, bool CCD>
static void read_lines(const Window& w, short* image, const int* col_off, int offset) {
    const unsigned short data = board_port(PORT_DATA);
    const unsigned short next_line = board_port(PORT_NEXT_LINE);
    int lo = 255, hi = 0;
    for (int i = 0; i < w.i0; ++i) outp(next_line, 0);
    for (int i = w.i0; i < w.in; ++i) {
        count_pixels(data, w.j0);
        read_window_pixels<ADD, CCD>(data, image + i * w.je + w.j0, w.jn - w.j0, col_off + w.j0,
                                     offset, lo, hi);
        outp(next_line, 0);
    }
    for (int i = w.in; i < w.ie; ++i) outp(next_line, 0);
    imin = lo;
    imax = hi;
}

// Statistics of the histogram: mode, median interpolated within its bin
// (bin v stands for the interval (v-1, v]), and mean and standard deviation
// between the 5 % and 95 % points.
static void histogram_statistics() {
    int n = 0;
    int lowest = -1, highest = -1;  // non-empty bins
    for (int v = 0; v < 256; ++v) {
        n += hist[v];
        if (hist[v] && lowest < 0) lowest = v;
        if (hist[v]) highest = v;
    }
    const int n05 = static_cast<int>(0.05 * n + 0.5);
    const int n95 = static_cast<int>(0.95 * n + 0.5);
    const int n50 = n / 2;
    int i05 = -1, i95 = -1;
    hmax = 0;
    hmed = 0;
    int c = 0;  // pixels below v
    for (int v = 0; v < 256; ++v) {
        const int j = c + hist[v];  // pixels up to and including v
        if (hist[v] > hist[hmax]) hmax = v;
        if (j == n50)
            hmed = v;
        else if (c < n50 && n50 < j)
            hmed = (v - 1) + static_cast<double>(n50 - c) / (j - c);
        if (c < n05 && j >= n05) i05 = v;
        if (c < n95 && j >= n95) i95 = v;
        c = j;
    }
    if (n == 0) {
        hmed = havr = hdisp = 0;
        return;
    }
    // Below ten pixels the 5 % target is 0 and no bin reaches it.
    if (i05 < 0) i05 = lowest;
    if (i95 < 0) i95 = highest;
    double sum = 0, count = 0;
    for (int v = i05; v <= i95; ++v) {
        sum += v * hist[v];
        count += hist[v];
    }
    havr = sum / count;
    double sq = 0;
    for (int v = i05; v <= i95; ++v) {
        const double d = v - havr;
        sq += d * d * hist[v];
    }
    hdisp = std::sqrt(sq / count);
}

void read_frame(int ADD, int Lev0, int CCD) {
    TVchan* ch = curch;
    const Window w = window_in_use(ch);
    int col_off[KX29_MAX_COLS];
    if (CCD) ccd_column_offsets(ch, w, Lev0, col_off);
    const int offset = pixel_offset(-static_cast<long long>(Lev0));

    std::memset(hist, 0, sizeof hist);
    outp(board_port(PORT_CONTROL), 0);  // host owns the frame memory
    outp(board_port(PORT_ADDR_RESET), 0);
    if (CCD) {
        if (ADD) read_lines<true, true>(w, ch->image, col_off, offset);
        else read_lines<false, true>(w, ch->image, col_off, offset);
    } else {
        if (ADD) read_lines<true, false>(w, ch->image, col_off, offset);
        else read_lines<false, false>(w, ch->image, col_off, offset);
    }
    wait_switch(Next);  // hand the memory back at a field change
    outp(board_port(PORT_CONTROL), tv_out);
    histogram_statistics();
}

// ---- Write-back -----------------------------------------------------------------------

// Writes the whole image into the frame memory for the video output: the low
// 8 bits of every pixel, no scaling.
void write_image() {
    const Geometry g = geometry_in_use(curch);
    const short* px = curch->image;
    const unsigned short data = board_port(PORT_DATA);
    const unsigned short next_line = board_port(PORT_NEXT_LINE);
    outp(board_port(PORT_CONTROL), 0);
    outp(board_port(PORT_ADDR_RESET), 0);
    for (int i = 0; i < g.height; ++i, px += g.width) {
        for (int j = 0; j < g.width; ++j) outp(data, static_cast<unsigned char>(px[j]));
        outp(next_line, 0);
    }
    outp(board_port(PORT_CONTROL), tv_out);
}
