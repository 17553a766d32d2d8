// Interface of the simulated KX29 board for tests and tools: configuration
// from an option string, a look inside the board, and its bus clock.
#pragma once

#include "kx29_sim_ports.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace kx29sim {

// ---- Video timing and geometry ------------------------------------------------
constexpr std::int64_t ACCESS_NS = 1000;       // one ISA bus cycle per port access
constexpr std::int64_t FIELD_NS = 20'000'000;  // 50 Hz interlaced fields
constexpr std::int64_t FRAME_NS = 2 * FIELD_NS;
constexpr int FRAME_COLS = 768;                // pixels digitised per line
constexpr int FRAME_LINES = 576;               // lines digitised per frame
constexpr int INPUTS = 4;
constexpr unsigned short DEFAULT_BASE = 0x300;
constexpr unsigned long GRANT_LIMIT = 0x400;   // ioperm grants ports below this (i386)

// ---- Cameras --------------------------------------------------------------------
// Every input has a camera of its own with these parameters (KX29_SIM options)
// and fixed patterns of its own. Light and dark current are in grey levels per
// second; sky and stars as the long-exposure camera sees them, a video camera
// being VIDEO_SPEED times as sensitive to light.
struct CameraModel {
    double bias = 6.0;         // bias above the digitiser's black level, grey levels
    double pattern = 1.5;      // rms of the bias's fixed column pattern (its row pattern a third of it)
    double dark = 0.05;        // dark current
    int hot = 25;              // hot pixels per camera, 5 to 100 times the dark current
    double gain = 8.0;         // electrons per grey level: S grey levels of signal carry sqrt(S / gain) of shot noise
    double sky = 0.25;         // sky background of the star field
    double stars = 150.0;      // light of the brightest star (0: no stars)
    double fwhm = 3.0;         // width of the star images, pixels
    double vignetting = 0.2;   // light lost in the corners of the frame
    int dust = 6;              // dust shadows per camera
    bool operator==(const CameraModel&) const = default;
};
constexpr double VIDEO_SPEED = 250.0;

// ---- Options (the environment variable KX29_SIM) -------------------------------
struct Options {
    unsigned novideo = 0;              // bit n set: no video on input n
    bool noboard = false;              // nothing answers at the board's ports
    bool busy = false;                 // busy bit stuck at 1, captures never end
    bool notroot = false;              // the user ids are not root
    bool still = false;                // the scenes do not move
    bool seeded = false;               // noise from `seed` instead of the clock
    std::uint64_t seed = 0;
    unsigned short base = DEFAULT_BASE;  // the board's jumpered I/O base
    int camera_input = 1;              // input the long-exposure camera is cabled to
    double noise = 2.0;                // read noise of the cameras, grey levels rms (0: no noise at all)
    CameraModel cameras;
    unsigned covered = 0;              // bit n set: input n's camera is covered, no light reaches it
    unsigned flatpanel = 0;            // bit n set: input n's camera looks at a uniformly lit panel
    bool realtime = false;             // port accesses take their bus time: board time never runs ahead
    bool oracle = false;               // frames carry their input and number instead of a picture
};

// Parses a comma-separated option string (empty items are skipped). On an
// unknown or malformed option returns false with a one-line message in *error.
bool parse_options(const char* text, Options* opt, std::string* error);

// Powers up a fresh board configured by `options` (nullptr: from KX29_SIM) and
// forgets all port grants. Returns false with the message in *error, leaving
// the board as it was, when the options are bad.
bool reset_board(const char* options, std::string* error = nullptr);
const Options& board_options();

// ---- Frame memory -------------------------------------------------------------
unsigned char mem_pixel(int line, int col);
void set_mem_pixel(int line, int col, unsigned char v);

// ---- Registers ----------------------------------------------------------------
unsigned char input_register(int n);   // input-stage registers 0..3
int selected_input();                  // from register 0, bits 4-5
int black_level();                     // grey level of black, from register 1
unsigned char control();               // last value written to PORT_CONTROL
unsigned char input_lut(int entry);
std::array<unsigned char, 3> output_lut(int entry);
unsigned char output_mask();

// ---- Capture --------------------------------------------------------------------
bool capture_running();
long captures_completed();

// ---- FPGA -----------------------------------------------------------------------
// Bits received on PORT_XIL_DIN since the last reset, reassembled into bytes
// least significant bit first. A load of an N-byte image leaves 8 N + 8 bits:
// the image in bytes 0..N-1, then one byte of the eight trailing 1-bits.
struct FpgaLoad {
    bool in_reset = false;
    long resets = 0;
    long bits = 0;
    std::vector<unsigned char> bytes;  // the first MAX_FPGA_BYTES of them
};
constexpr std::size_t MAX_FPGA_BYTES = 8192;
FpgaLoad fpga();

// ---- Long-exposure camera -------------------------------------------------------
enum class CameraState { Normal, Prepared, Integrating, Delivering };
struct Camera {
    CameraState state = CameraState::Normal;
    int input = 1;                      // input its video arrives on
    std::int64_t integrated_ns = 0;     // length of the last completed integration
    long words_total = 0;               // words decoded since power-on
    std::vector<unsigned char> words;   // the last MAX_CAMERA_WORDS of them, oldest first
};
constexpr std::size_t MAX_CAMERA_WORDS = 1024;
Camera camera();

// The fixed patterns of input `input`'s camera under the board's options, per
// pixel, FRAME_LINES x FRAME_COLS row-major. Computed at first use and kept
// while the camera options stay the same.
struct CameraPatterns {
    std::vector<float> bias;  // grey levels above the black level
    std::vector<float> dark;  // dark current, grey levels per second (hot pixels included)
    std::vector<float> flat;  // response to light relative to the centre's
};
const CameraPatterns& camera_patterns(int input);

// ---- Video output ---------------------------------------------------------------
// What a monitor on the board's video output shows: the frame memory through
// the pixel mask and the output look-up table while PORT_CONTROL bit 1 is set,
// black otherwise.
struct Display {
    bool on = false;
    std::vector<unsigned char> rgb;  // FRAME_LINES x FRAME_COLS x 3
    const unsigned char* pixel(int line, int col) const { return &rgb[(line * FRAME_COLS + col) * 3]; }
};
Display displayed();

// ---- Bus clock ------------------------------------------------------------------
// Board time: monotonic time since power-on, plus whatever a test has added,
// plus 1 us per port access. With `realtime` an access instead takes its 1 us
// from the wall clock, as the processor waits on the ISA bus: board time is
// then wall time (less the simulator's own work) and never runs ahead of it.
std::int64_t board_time_ns();
void advance_board_time(std::int64_t ns);

}  // namespace kx29sim
