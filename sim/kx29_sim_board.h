// State of the simulated KX29 board, shared by the board model and the
// simulated platform calls.
#pragma once

#include "kx29_sim.h"

#include <bitset>
#include <cstdint>
#include <deque>

namespace kx29sim {

// A frame being grabbed: what the board latched when the capture started.
struct Capture {
    bool running = false;
    std::int64_t start_ns = 0;
    std::int64_t end_ns = 0;  // INT64_MAX: never (no sync on the input)
    int input = 0;
    int black = 0;
    double gain = 1.0;        // exposure relative to one frame period
    unsigned char ilut[256] = {};
};

struct Board {
    Options opt;

    // ---- bus clock
    std::int64_t power_on_ns = 0;  // monotonic clock at power-on
    std::int64_t advanced_ns = 0;  // added by tests
    std::uint64_t paid_accesses = 0;  // realtime: accesses whose bus time has passed
    std::int64_t bus_free_ns = 0;     // realtime: board time at which the last access ended

    // ---- frame memory addressing (the address counter lives in `fast`)
    std::uint32_t line = 0;

    // ---- control and capture
    unsigned char control = 0;
    Capture cap;
    long captures = 0;
    long grabbed[INPUTS] = {};  // frames grabbed on each input since power-on
    std::uint64_t noise_seed = 0;

    // ---- input stage
    int ireg_select = 0;
    unsigned char ireg[4] = {0, 0xF0, 0, 0};  // power-on: input 0, black level 60
    unsigned char ilut[256] = {};             // power-on: identity
    int ilut_addr = 0;

    // ---- output stage
    unsigned char olut[256][3] = {};          // power-on: grey ramp
    int olut_entry = 0;
    int olut_component = 0;
    unsigned char olut_mask = 0xFF;

    // ---- FPGA configuration port
    FpgaLoad fpga;

    // ---- long-exposure camera and its serial line
    unsigned char cam_line = 0;   // last value on PORT_CAMERA_SERIAL
    int cam_bits = 0;             // bits of the word under way
    unsigned cam_word = 0;
    CameraState cam_state = CameraState::Normal;
    std::int64_t cam_start_ns = 0;
    std::int64_t cam_integrated_ns = 0;
    long cam_words_total = 0;
    std::deque<unsigned char> cam_words;

    // ---- I/O permissions of the process (the simulated ioperm)
    std::bitset<GRANT_LIMIT> granted;
};

// The board, powered up from KX29_SIM at first use (a bad option string ends
// the process with one line on standard error and status 1).
Board& board();
// Opens or closes the data port's inline fast path after a change of state.
void update_fast_path(Board& b);
std::int64_t board_now(const Board& b);

}  // namespace kx29sim
