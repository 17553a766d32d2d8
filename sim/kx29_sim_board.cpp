// The simulated KX29 board: port decoding, frame-memory addressing, the bus
// clock and the video timing, frame capture, the input stage and look-up
// tables, the FPGA's serial configuration port and the long-exposure camera.
#include "kx29_sim_board.h"

#include "kx29_io.h"
#include "kx29_sim_video.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <memory>
#include <random>
#include <string>

namespace kx29sim {

FastPath fast;

namespace {

constexpr std::int64_t NEVER = std::numeric_limits<std::int64_t>::max();

std::unique_ptr<Board> the_board;

std::int64_t monotonic_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

void power_on(Board& b, const Options& opt) {
    b.opt = opt;
    b.power_on_ns = monotonic_ns();
    for (int i = 0; i < 256; ++i) {
        b.ilut[i] = static_cast<unsigned char>(i);
        b.olut[i][0] = b.olut[i][1] = b.olut[i][2] = static_cast<unsigned char>(i);
    }
    b.noise_seed = opt.seeded ? opt.seed
                              : (static_cast<std::uint64_t>(std::random_device{}()) << 32) ^
                                    static_cast<std::uint64_t>(b.power_on_ns);
    fast.data_port = -1;
    fast.addr = 0;
    fast.accesses = 0;
    std::fill(std::begin(fast.mem), std::end(fast.mem), 0);
}

// Offset of `port` in the board's window, or -1 when the board does not decode it.
int board_offset(const Board& b, unsigned short port) {
    unsigned off = static_cast<unsigned short>(port - b.opt.base);
    return b.opt.noboard || off >= PORT_WINDOW ? -1 : static_cast<int>(off);
}

// A port the process holds no permission for faults like the processor's
// in/out instruction does. Returns false when a handler let the access go on;
// the access is then not made.
bool granted_or_fault(const Board& b, unsigned short port) {
    if (port < GRANT_LIMIT && b.granted[port]) return true;
    raise(SIGSEGV);
    return false;
}

int video_input(const Board& b) { return (b.ireg[0] >> 4) & 3; }
bool has_video(const Board& b, int input) { return !(b.opt.novideo & (1u << input)); }

// ---- Frame memory -----------------------------------------------------------

unsigned char read_data() {
    unsigned char v = fast.mem[fast.addr];
    fast.addr = (fast.addr + 1) & (MEM_SIZE - 1);
    return v;
}

void write_data(unsigned char v) {
    fast.mem[fast.addr] = v;
    fast.addr = (fast.addr + 1) & (MEM_SIZE - 1);
}

void next_line(Board& b) {
    b.line = (b.line + 1) & (MEM_LINES - 1);
    fast.addr = b.line * MEM_PITCH;
}

void address_reset(Board& b) {
    b.line = 0;
    fast.addr = 0;
}

// ---- Video timing and capture -----------------------------------------------

// Field bit of the status port: 0 in the first (odd) field of each frame and
// 2 in the second. Without a video signal on the selected input there is no
// field sync and the bit stays 0.
unsigned char field_bit(const Board& b, std::int64_t now) {
    if (!has_video(b, video_input(b))) return 0;
    return ((now / FIELD_NS) & 1) ? STATUS_FIELD : 0;
}

// Exposure the camera's input delivers to a capture starting now: normal video,
// nothing while the camera integrates, the integrated light once it delivers.
double exposure_gain(const Board& b, int input) {
    if (input != b.opt.camera_input) return 1.0;
    switch (b.cam_state) {
    case CameraState::Integrating: return 0.0;
    case CameraState::Delivering: return static_cast<double>(b.cam_integrated_ns) / FRAME_NS;
    default: return 1.0;
    }
}

// The board grabs two fields from the moment the capture is commanded; an
// input without sync, or a board with the busy fault, never completes a frame.
void start_capture(Board& b, std::int64_t now) {
    Capture& c = b.cap;
    c.running = true;
    c.start_ns = now;
    c.input = video_input(b);
    c.end_ns = has_video(b, c.input) && !b.opt.busy ? now + FRAME_NS : NEVER;
    c.black = b.ireg[1] >> 2;
    c.gain = exposure_gain(b, c.input);
    std::copy(std::begin(b.ilut), std::end(b.ilut), std::begin(c.ilut));
    update_fast_path(b);
}

// The scene on the capture's input, digitised into the frame memory.
void digitise_scene(const Board& b) {
    const Capture& c = b.cap;
    static std::unique_ptr<float[]> signal(new float[FRAME_COLS * FRAME_LINES]);
    double t = b.opt.still ? 0.0 : static_cast<double>(c.start_ns) / FRAME_NS;
    render_scene(c.input, t, signal.get());
    std::uint64_t key = mix64(b.noise_seed ^ mix64(static_cast<std::uint64_t>(b.captures)));
    digitise(signal.get(), {c.black, c.gain, b.opt.noise, key, c.ilut}, fast.mem);
}

// Fills the frame memory with the grabbed frame. The host's time spent here is
// the simulator's, not the board's: the bus clock does not see it.
void finish_capture(Board& b) {
    std::int64_t t0 = monotonic_ns();
    const long number = ++b.grabbed[b.cap.input];
    if (b.opt.oracle) write_oracle(b.cap.input, number, fast.mem);
    else digitise_scene(b);
    b.advanced_ns -= monotonic_ns() - t0;
    ++b.captures;
    b.cap.running = false;
    update_fast_path(b);
}

// Completes a capture whose time has come; every slow-path access calls it, so
// the host never sees the memory of a capture that has ended unfilled.
void settle_capture(Board& b, std::int64_t now) {
    if (b.cap.running && now >= b.cap.end_ns) finish_capture(b);
}

// PORT_CONTROL: bit 0 grabs a frame, bit 1 shows the frame memory on the video
// output. Dropping bit 0 before the frame is complete abandons the capture and
// leaves the memory as it was.
void write_control(Board& b, unsigned char v, std::int64_t now) {
    b.control = v;
    if (v & 1) {
        if (!b.cap.running) start_capture(b, now);
    } else if (b.cap.running) {
        b.cap.running = false;
        update_fast_path(b);
    }
}

unsigned char read_status(const Board& b, std::int64_t now) {
    bool busy = b.cap.running || b.opt.busy;
    return static_cast<unsigned char>(field_bit(b, now) | (busy ? STATUS_BUSY : 0));
}

// ---- Input stage and look-up tables -------------------------------------------

void select_input_register(Board& b, unsigned char v) {
    b.ireg_select = v & 3;
    if (v == 0) b.ilut_addr = 0;  // selecting register 0 rewinds the input table
}

void write_input_lut(Board& b, unsigned char v) {
    b.ilut[b.ilut_addr] = v;
    b.ilut_addr = (b.ilut_addr + 1) & 255;
}

// Each output table entry takes three writes (one per colour component).
void write_output_lut(Board& b, unsigned char v) {
    b.olut[b.olut_entry][b.olut_component] = v;
    if (++b.olut_component == 3) {
        b.olut_component = 0;
        b.olut_entry = (b.olut_entry + 1) & 255;
    }
}

// ---- FPGA serial configuration ---------------------------------------------------

void fpga_reset_on(Board& b) {
    b.fpga.in_reset = true;
    ++b.fpga.resets;
    b.fpga.bits = 0;
    b.fpga.bytes.clear();
}

// One configuration bit in bit 0 of each write, least significant bit of each
// byte first. Bits sent while the FPGA is held in reset are lost.
void fpga_bit(Board& b, unsigned char v) {
    FpgaLoad& f = b.fpga;
    if (f.in_reset) return;
    std::size_t byte = static_cast<std::size_t>(f.bits / 8);
    if (byte < MAX_FPGA_BYTES) {
        if (byte == f.bytes.size()) f.bytes.push_back(0);
        f.bytes[byte] |= static_cast<unsigned char>((v & 1) << (f.bits % 8));
    }
    ++f.bits;
}

// ---- Long-exposure camera ------------------------------------------------------------

enum : unsigned char {
    CAM_PREPARE = 0xF4,    // set up for a long exposure
    CAM_INTEGRATE = 0xF6,  // start integrating light
    CAM_DELIVER = 0xF5,    // stop integrating, deliver the frame on the next capture
    CAM_NORMAL = 0xF1,     // back to normal video
};

void camera_command(Board& b, unsigned char word, std::int64_t now) {
    ++b.cam_words_total;
    b.cam_words.push_back(word);
    if (b.cam_words.size() > MAX_CAMERA_WORDS) b.cam_words.pop_front();
    switch (word) {
    case CAM_PREPARE: b.cam_state = CameraState::Prepared; break;
    case CAM_INTEGRATE:
        b.cam_state = CameraState::Integrating;
        b.cam_start_ns = now;
        break;
    case CAM_DELIVER:
        b.cam_integrated_ns = b.cam_state == CameraState::Integrating ? now - b.cam_start_ns : 0;
        b.cam_state = CameraState::Delivering;
        break;
    case CAM_NORMAL: b.cam_state = CameraState::Normal; break;
    default: break;  // other words leave the camera as it is
    }
}

// The camera latches the data bit (bit 0) on the rising edge of the clock
// (bit 1); eight bits, least significant first, make a word.
void camera_line(Board& b, unsigned char v, std::int64_t now) {
    bool rising = (v & 2) && !(b.cam_line & 2);
    b.cam_line = v;
    if (!rising) return;
    b.cam_word |= (v & 1u) << b.cam_bits;
    if (++b.cam_bits < 8) return;
    camera_command(b, static_cast<unsigned char>(b.cam_word), now);
    b.cam_word = 0;
    b.cam_bits = 0;
}

void write_register(Board& b, int off, unsigned char v, std::int64_t now) {
    switch (off) {
    case PORT_DATA: write_data(v); break;
    case PORT_ADDR_RESET: address_reset(b); break;
    case PORT_NEXT_LINE: next_line(b); break;
    case PORT_CONTROL: write_control(b, v, now); break;
    case PORT_CAMERA_SERIAL: camera_line(b, v, now); break;
    case PORT_OLUT_ADDR:
        b.olut_entry = v;
        b.olut_component = 0;
        break;
    case PORT_OLUT_DATA: write_output_lut(b, v); break;
    case PORT_OLUT_MASK: b.olut_mask = v; break;
    case PORT_IREG_SELECT: select_input_register(b, v); break;
    case PORT_ILUT_DATA: write_input_lut(b, v); break;
    case PORT_IREG_DATA: b.ireg[b.ireg_select] = v; break;
    case PORT_XIL_RESET_OFF: b.fpga.in_reset = false; break;
    case PORT_XIL_RESET_ON: fpga_reset_on(b); break;
    case PORT_XIL_DIN: fpga_bit(b, v); break;
    default: break;  // unused ports of the window
    }
}

}  // namespace

// ---- The board and its clock -------------------------------------------------------

Board& board() {
    if (!the_board) {
        Options opt;
        std::string error;
        if (!parse_options(std::getenv("KX29_SIM"), &opt, &error)) {
            std::fprintf(stderr, "%s\n", error.c_str());
            std::exit(1);
        }
        the_board = std::make_unique<Board>();
        power_on(*the_board, opt);
    }
    return *the_board;
}

bool reset_board(const char* options, std::string* error) {
    Options opt;
    std::string msg;
    const char* text = options ? options : std::getenv("KX29_SIM");
    if (!parse_options(text, &opt, &msg)) {
        if (error) *error = msg;
        return false;
    }
    the_board = std::make_unique<Board>();
    power_on(*the_board, opt);
    return true;
}

void update_fast_path(Board& b) {
    bool open = !b.opt.noboard && b.opt.base < GRANT_LIMIT && b.granted[b.opt.base] && !b.cap.running;
    fast.data_port = open ? b.opt.base : -1;
}

std::int64_t board_now(const Board& b) {
    const std::int64_t wall = monotonic_ns() - b.power_on_ns + b.advanced_ns;
    return b.opt.realtime ? wall : wall + static_cast<std::int64_t>(fast.accesses) * ACCESS_NS;
}

namespace {

// Waits shorter than this spin on the clock; sleeping would overshoot them.
constexpr std::int64_t SPIN_NS = 100'000;

void wait_for_board_time(const Board& b, std::int64_t t) {
    for (std::int64_t left; (left = t - board_now(b)) > 0;) {
        if (left <= SPIN_NS) continue;
        const std::int64_t sleep_ns = left - SPIN_NS / 2;
        timespec ts{static_cast<time_t>(sleep_ns / 1'000'000'000), static_cast<long>(sleep_ns % 1'000'000'000)};
        nanosleep(&ts, nullptr);
    }
}

// The board time of a slow-path access. In real time the access ends 1 us
// after the bus is free, behind the data-port accesses the fast path made
// since the last one (their time is paid here, a line or so at a time), and
// the processor waits until it has.
std::int64_t access_time(Board& b) {
    if (!b.opt.realtime) return board_now(b);
    const std::int64_t queued = static_cast<std::int64_t>(fast.accesses - b.paid_accesses) * ACCESS_NS;
    b.paid_accesses = fast.accesses;
    const std::int64_t now = board_now(b);
    b.bus_free_ns = std::max(b.bus_free_ns + queued, now + ACCESS_NS);
    wait_for_board_time(b, b.bus_free_ns);
    return board_now(b);
}

}  // namespace

// ---- Slow path of the ports ------------------------------------------------------------

unsigned char slow_inp(unsigned short port) {
    Board& b = board();
    if (!granted_or_fault(b, port)) return 0xFF;
    ++fast.accesses;
    const std::int64_t now = access_time(b);
    int off = board_offset(b, port);
    if (off < 0) return 0xFF;  // nothing drives the bus
    settle_capture(b, now);
    if (off == PORT_DATA) return read_data();
    if (off == PORT_STATUS) return read_status(b, now);
    return 0xFF;  // write-only registers
}

void slow_outp(unsigned short port, unsigned char val) {
    Board& b = board();
    if (!granted_or_fault(b, port)) return;
    ++fast.accesses;
    const std::int64_t now = access_time(b);
    int off = board_offset(b, port);
    if (off < 0) return;  // the delay port, or nobody there
    settle_capture(b, now);
    write_register(b, off, val, now);
}

// ---- Inspection for tests and tools ------------------------------------------------------

const Options& board_options() { return board().opt; }

static std::uint32_t mem_index(int line, int col) {
    return (static_cast<std::uint32_t>(line) * MEM_PITCH + static_cast<std::uint32_t>(col)) & (MEM_SIZE - 1);
}

unsigned char mem_pixel(int line, int col) { return fast.mem[mem_index(line, col)]; }
void set_mem_pixel(int line, int col, unsigned char v) { fast.mem[mem_index(line, col)] = v; }

unsigned char input_register(int n) { return board().ireg[n & 3]; }
int selected_input() { return video_input(board()); }
int black_level() { return board().ireg[1] >> 2; }
unsigned char control() { return board().control; }
unsigned char input_lut(int entry) { return board().ilut[entry & 255]; }

std::array<unsigned char, 3> output_lut(int entry) {
    const auto& e = board().olut[entry & 255];
    return {e[0], e[1], e[2]};
}

unsigned char output_mask() { return board().olut_mask; }

bool capture_running() {
    Board& b = board();
    settle_capture(b, board_now(b));
    return b.cap.running;
}

long captures_completed() {
    Board& b = board();
    settle_capture(b, board_now(b));
    return b.captures;
}

FpgaLoad fpga() { return board().fpga; }

Camera camera() {
    const Board& b = board();
    Camera c;
    c.state = b.cam_state;
    c.input = b.opt.camera_input;
    c.integrated_ns = b.cam_integrated_ns;
    c.words_total = b.cam_words_total;
    c.words.assign(b.cam_words.begin(), b.cam_words.end());
    return c;
}

Display displayed() {
    const Board& b = board();
    Display d;
    d.on = (b.control & 2) != 0;
    d.rgb.assign(static_cast<std::size_t>(FRAME_COLS) * FRAME_LINES * 3, 0);
    if (!d.on) return d;
    for (int l = 0; l < FRAME_LINES; ++l)
        for (int c = 0; c < FRAME_COLS; ++c) {
            const unsigned char* e = b.olut[mem_pixel(l, c) & b.olut_mask];
            std::copy(e, e + 3, &d.rgb[(static_cast<std::size_t>(l) * FRAME_COLS + c) * 3]);
        }
    return d;
}

std::int64_t board_time_ns() { return board_now(board()); }
void advance_board_time(std::int64_t ns) { board().advanced_ns += ns; }

}  // namespace kx29sim
