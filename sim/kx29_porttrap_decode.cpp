// Options of the port trap and the decoding of a faulting port instruction.
#include "kx29_porttrap.h"

#include <cstring>

namespace kx29trap {

bool parse_options(const char* text, Options* opt, std::string* error) {
    *opt = Options{};
    const std::string all = text != nullptr ? text : "";
    for (std::size_t at = 0; at <= all.size();) {
        std::size_t end = all.find(',', at);
        if (end == std::string::npos) end = all.size();
        const std::string item = all.substr(at, end - at);
        at = end + 1;
        if (item.empty()) continue;
        const std::size_t eq = item.find('=');
        const std::string name = item.substr(0, eq), value = eq == std::string::npos ? "" : item.substr(eq + 1);
        int* refusal = name == "ioperm" ? &opt->ioperm_errno
                       : name == "sched" ? &opt->sched_errno
                       : name == "mlock" ? &opt->mlock_errno
                                          : nullptr;
        if (item == "notroot") {
            opt->notroot = true;
        } else if (refusal != nullptr && eq != std::string::npos) {
            *refusal = errno_from_name(value.c_str());
            if (*refusal <= 0) {
                *error = "KX29_TRAP: bad error '" + value + "' in '" + item + "' (an errno name such as EPERM)";
                return false;
            }
        } else {
            *error = "KX29_TRAP: unknown option '" + item + "' (options: notroot, ioperm=ERR, sched=ERR, mlock=ERR)";
            return false;
        }
    }
    return true;
}

int errno_from_name(const char* name) {
    for (int e = 1; e < 4096; ++e) {
        const char* n = strerrorname_np(e);
        if (n != nullptr && std::strcmp(n, name) == 0) return e;
    }
    return -1;
}

bool decode(const unsigned char* code, std::size_t n, unsigned short dx, Insn* insn) {
    if (n < 1) return false;
    switch (code[0]) {
    case 0xEC: *insn = {true, dx, 1}; return true;   // in al, dx
    case 0xEE: *insn = {false, dx, 1}; return true;  // out dx, al
    case 0xE4:                                        // in al, imm8
    case 0xE6:                                        // out imm8, al
        if (n < 2) return false;
        *insn = {code[0] == 0xE4, code[1], 2};
        return true;
    default: return false;
    }
}

}  // namespace kx29trap
