// Building blocks of the port trap (kx29porttrap.so) that do not depend on
// being loaded into the daemon: its options and the decoding of the faulting
// port instruction.
#pragma once

#include <cstddef>
#include <string>

namespace kx29trap {

// KX29_TRAP: a comma-separated list. An ERR is an errno name (EPERM, ENOMEM...).
struct Options {
    bool notroot = false;  // user ids 65534, ioperm/iopl refused with EPERM
    int ioperm_errno = 0;  // ioperm=ERR: every ioperm and iopl fails with ERR
    int sched_errno = 0;   // sched=ERR: sched_setscheduler fails with ERR
    int mlock_errno = 0;   // mlock=ERR: mlockall fails with ERR
};

// False with a one-line message in *error on an unknown option or a bad ERR.
bool parse_options(const char* text, Options* opt, std::string* error);
// The errno value named `name` ("EPERM"), or -1.
int errno_from_name(const char* name);

// A byte-wide port instruction: in al,dx (EC), out dx,al (EE), in al,imm8
// (E4 ib), out imm8,al (E6 ib). The daemon uses no other form.
struct Insn {
    bool in = false;
    unsigned short port = 0;
    unsigned length = 0;  // bytes to step over
};
// Decodes the n bytes at the faulting instruction with DX = dx; false when
// they are not one of the forms above.
bool decode(const unsigned char* code, std::size_t n, unsigned short dx, Insn* insn);

}  // namespace kx29trap
