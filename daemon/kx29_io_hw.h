// The real board: the processor's byte port instructions (x86 only).
#pragma once

#if !defined(__i386__) && !defined(__x86_64__)
#error "The hardware board needs x86 port instructions"
#endif

inline unsigned char board_inp(unsigned short port) {
    unsigned char v;
    __asm__ volatile("inb %w1, %b0" : "=a"(v) : "Nd"(port));
    return v;
}

inline void board_outp(unsigned short port, unsigned char val) {
    __asm__ volatile("outb %b0, %w1" : : "a"(val), "Nd"(port));
}
