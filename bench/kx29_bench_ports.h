// The zero-cost benchmark board: frame memory in plain memory with the KX29
// addressing rules, a field bit that changes on every status read, and no trace.
#pragma once

namespace kx29bench {

struct BenchBoard {
    unsigned short base = 0x300;
    static constexpr int PITCH = 1024;  // frame-memory columns per line
    static constexpr int LINES = 1024;
    int line = 0;
    int col = 0;
    unsigned char status = 0;  // field bit flips on each read, busy bit clear
    unsigned char mem[PITCH * LINES];
};

extern BenchBoard bench_board;

inline unsigned char* bench_pixel(BenchBoard& b) {
    return &b.mem[(b.line & (BenchBoard::LINES - 1)) * BenchBoard::PITCH + (b.col++ & (BenchBoard::PITCH - 1))];
}

}  // namespace kx29bench

inline unsigned char board_inp(unsigned short port) {
    kx29bench::BenchBoard& b = kx29bench::bench_board;
    switch (static_cast<unsigned short>(port - b.base)) {
    case PORT_DATA: return *kx29bench::bench_pixel(b);
    case PORT_STATUS: return b.status ^= STATUS_FIELD;
    default: return 0xFF;
    }
}

inline void board_outp(unsigned short port, unsigned char val) {
    kx29bench::BenchBoard& b = kx29bench::bench_board;
    switch (static_cast<unsigned short>(port - b.base)) {
    case PORT_DATA: *kx29bench::bench_pixel(b) = val; break;
    case PORT_ADDR_RESET: b.line = 0; b.col = 0; break;
    case PORT_NEXT_LINE: ++b.line; b.col = 0; break;
    default: break;
    }
}
