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
    unsigned status = 0;  // field bit flips on each read, busy bit clear (not a char: a
                          // char store could alias the cursors and keep them in memory)
    unsigned char mem[PITCH * LINES];
};

extern BenchBoard bench_board;

inline void next_line(BenchBoard& b) {
    b.line += BenchBoard::PITCH;
    if (b.line == b.mem + sizeof b.mem) b.line = b.mem;
    b.cur = b.line;
}

}  // namespace kx29bench

inline unsigned char board_inp(unsigned short port) {
    kx29bench::BenchBoard& b = kx29bench::bench_board;
    switch (static_cast<unsigned short>(port - b.base)) {
    case PORT_DATA: return *b.cur++;
    case PORT_STATUS: return static_cast<unsigned char>(b.status ^= STATUS_FIELD);
    default: return 0xFF;
    }
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
