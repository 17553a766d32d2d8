// The zero-cost benchmark board: frame memory in plain memory with the KX29
// addressing rules, a field bit that changes on every status read, and no trace.
#pragma once

namespace kx29bench {

struct BenchBoard {
    static constexpr unsigned short base = 0x300;
    static constexpr int PITCH = 1024;  // frame-memory bytes per line; a line holds at most 768 pixels
    static constexpr int LINES = 1024;  // lines wrap around after the last one
    unsigned char* line = mem;          // first pixel of the current line
    unsigned char* cur = mem;           // pixel the next data access reaches
    unsigned status = 0;                // field bit flips on each read, busy bit clear
    unsigned char mem[PITCH * LINES];
};

extern BenchBoard bench_board;

inline void next_line(BenchBoard& b) {
    b.line += BenchBoard::PITCH;
    if (b.line == b.mem + sizeof b.mem) b.line = b.mem;
    b.cur = b.line;
}

}  // namespace kx29bench

// Branch-free, so that a loop of reads keeps the cursor in a register.
inline unsigned char board_inp(unsigned short port) {
    kx29bench::BenchBoard& b = kx29bench::bench_board;
    const bool data = port == b.base + PORT_DATA;
    const bool status = port == b.base + PORT_STATUS;
    const unsigned char pixel = *b.cur;
    b.cur += data;
    b.status ^= status ? STATUS_FIELD : 0;
    return data ? pixel : status ? static_cast<unsigned char>(b.status) : 0xFF;
}

inline void board_outp(unsigned short port, unsigned char val) {
    kx29bench::BenchBoard& b = kx29bench::bench_board;
    switch (static_cast<unsigned short>(port - b.base)) {
    case PORT_DATA: *b.cur++ = val; break;
    case PORT_ADDR_RESET: b.line = b.cur = b.mem; break;
    case PORT_NEXT_LINE: kx29bench::next_line(b); break;
    default: break;
    }
}
