// The port trap: a preload library that runs the hardware daemon (kx29d, with
// its inline in/out instructions and the real privileged calls) on the
// simulated board.
//
// Without I/O permission every x86 port instruction raises SIGSEGV (si_code
// SI_KERNEL) at the instruction. The trap's SIGSEGV handler decodes it, makes
// the access on the simulated board, sets AL for an `in` and steps past it.
// The privileged calls are answered here and never reach the kernel: ioperm
// and iopl grant nothing in the processor (as root they would open this
// machine's real ports), the simulated board's grant model decides what they
// return. KX29_TRAP chooses refusals, KX29_TRAP_LOG records every call.
#include "kx29_porttrap.h"

#include "kx29_io.h"
#include "kx29_sim_board.h"

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <string>
#include <utility>
#include <sys/mman.h>
#include <sys/shm.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <ucontext.h>
#include <unistd.h>


namespace {

using kx29trap::Options;

constexpr int NOBODY = 65534;

// ---- The library's own state -------------------------------------------------------

Options& options() {
    static Options opt = [] {
        Options o;
        std::string error;
        if (!kx29trap::parse_options(std::getenv("KX29_TRAP"), &o, &error)) {
            std::fprintf(stderr, "%s\n", error.c_str());
            std::exit(1);
        }
        return o;
    }();
    return opt;
}

bool notroot() { return options().notroot || kx29sim::board().opt.notroot; }
int simulated_uid() { return notroot() ? NOBODY : 0; }

int iopl_level = 0;

// What the process installed for SIGSEGV; the kernel keeps the trap's handler.
struct sigaction app_segv = [] {
    struct sigaction sa = {};
    sa.sa_handler = SIG_DFL;
    return sa;
}();

template <typename F>
F next(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

int real_sigaction(int sig, const struct sigaction* act, struct sigaction* old) {
    static auto f = next<int (*)(int, const struct sigaction*, struct sigaction*)>("sigaction");
    return f(sig, act, old);
}

// ---- The call record (KX29_TRAP_LOG) ---------------------------------------------------

void record(const char* fmt, ...) {
    static int fd = [] {
        const char* path = std::getenv("KX29_TRAP_LOG");
        return path != nullptr && *path != '\0' ? open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644) : -1;
    }();
    if (fd < 0) return;
    char line[160];
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(line, sizeof line - 1, fmt, ap);
    va_end(ap);
    if (n < 0) return;
    if (n > static_cast<int>(sizeof line) - 2) n = sizeof line - 2;
    line[n++] = '\n';
    const int saved = errno;
    if (write(fd, line, static_cast<std::size_t>(n)) < 0) {}
    errno = saved;
}

// The result as the log shows it: 0, or the error's name.
const char* outcome(int rc) { return rc == 0 ? "0" : strerrorname_np(errno); }

int refuse(int err) {
    errno = err;
    return -1;
}

// ---- The SIGSEGV handler ---------------------------------------------------------------

#if defined(__x86_64__)
constexpr int REG_IP = REG_RIP, REG_A = REG_RAX, REG_D = REG_RDX;
#else
constexpr int REG_IP = REG_EIP, REG_A = REG_EAX, REG_D = REG_EDX;
#endif

// Reads the code at `ip` without faulting on an address that is not mapped.
std::size_t read_code(unsigned long ip, unsigned char* buf, std::size_t n) {
    iovec local{buf, n}, remote{reinterpret_cast<void*>(ip), n};
    ssize_t got = process_vm_readv(getpid(), &local, 1, &remote, 1, 0);
    if (got < 0) {  // the page may end before n bytes: one at a time
        got = 0;
        for (std::size_t i = 0; i < n; ++i) {
            iovec l{buf + i, 1}, r{reinterpret_cast<void*>(ip + i), 1};
            if (process_vm_readv(getpid(), &l, 1, &r, 1, 0) != 1) break;
            got = static_cast<ssize_t>(i + 1);
        }
    }
    return static_cast<std::size_t>(got);
}

bool port_open(unsigned short port) {
    const kx29sim::Board& b = kx29sim::board();
    return port < kx29sim::GRANT_LIMIT && b.granted[port];
}

// The signal as the kernel would have delivered it without the trap: to the
// process's own handler; otherwise a fault (which cannot be ignored) runs its
// instruction again under the default action, and a SIGSEGV sent by somebody
// is raised again unless ignored.
void deliver(int sig, siginfo_t* si, void* ctx) {
    const struct sigaction app = app_segv;
    const bool sent = si->si_code <= 0;
    if (app.sa_handler == SIG_IGN && sent) return;
    if (app.sa_handler == SIG_DFL || app.sa_handler == SIG_IGN) {
        struct sigaction dfl = {};
        dfl.sa_handler = SIG_DFL;
        real_sigaction(SIGSEGV, &dfl, nullptr);
        if (sent) raise(SIGSEGV);
        return;
    }
    if (app.sa_flags & SA_RESETHAND) app_segv.sa_handler = SIG_DFL, app_segv.sa_flags = 0;
    if (app.sa_flags & SA_SIGINFO) app.sa_sigaction(sig, si, ctx);
    else app.sa_handler(sig);
}

void on_segv(int sig, siginfo_t* si, void* ctx) {
    auto* uc = static_cast<ucontext_t*>(ctx);
    greg_t* r = uc->uc_mcontext.gregs;
    const unsigned long ip = static_cast<unsigned long>(r[REG_IP]);
    kx29trap::Insn insn;
    bool port = false;
    if (si->si_code == SI_KERNEL) {
        // The processor faulted at an instruction it decoded: its bytes are
        // mapped. Read as many as the form has, without a system call.
        const auto* at = reinterpret_cast<const unsigned char*>(ip);
        const unsigned char form[2] = {at[0], at[0] == 0xE4 || at[0] == 0xE6 ? at[1] : static_cast<unsigned char>(0)};
        port = kx29trap::decode(form, sizeof form, static_cast<unsigned short>(r[REG_D]), &insn);
    }
    if (!port) {
        unsigned char code[4] = {};
        const std::size_t n = read_code(ip, code, sizeof code);
        char bytes[16] = "";
        for (std::size_t i = 0; i < n; ++i) std::snprintf(bytes + 3 * i, 4, " %02x", code[i]);
        std::fprintf(stderr, "kx29porttrap: SIGSEGV (code %d, address %p) at 0x%lx, code%s: not a port instruction\n",
                     si->si_code, si->si_addr, ip, n != 0 ? bytes : " unreadable");
        deliver(sig, si, ctx);
        return;
    }
    if (!port_open(insn.port)) {
        deliver(sig, si, ctx);
        return;
    }
    if (insn.in) {
        const unsigned char v = board_inp(insn.port);
        r[REG_A] = (r[REG_A] & ~static_cast<greg_t>(0xFF)) | v;
    } else {
        board_outp(insn.port, static_cast<unsigned char>(r[REG_A]));
    }
    r[REG_IP] = static_cast<greg_t>(ip + insn.length);
}

// Any I/O permission the process came with (iopl survives execve) is given
// up first, so that every port instruction traps and none reaches this
// machine's ports. Giving up needs no privilege.
__attribute__((constructor)) void install() {
    syscall(SYS_iopl, 0);
    syscall(SYS_ioperm, 0UL, 65536UL, 0);
    struct sigaction sa = {};
    sa.sa_sigaction = on_segv;
    sa.sa_flags = SA_SIGINFO;
    sigemptyset(&sa.sa_mask);
    real_sigaction(SIGSEGV, &sa, nullptr);
}

uid_t real_euid() { return static_cast<uid_t>(syscall(SYS_geteuid)); }

}  // namespace

// ---- The calls the trap answers ----------------------------------------------------------

extern "C" {

int ioperm(unsigned long from, unsigned long num, int turn_on) noexcept {
    const int rc = options().ioperm_errno != 0 ? refuse(options().ioperm_errno)
                   : turn_on && notroot()      ? refuse(EPERM)
                                               : kx29_ioperm(from, num, turn_on);
    record("ioperm 0x%lx %lu %d -> %s", from, num, turn_on, outcome(rc));
    return rc;
}

// Level 3 grants every port the simulated board can grant; a lower level
// takes nothing back.
int iopl(int level) noexcept {
    const int rc = level < 0 || level > 3          ? refuse(EINVAL)
                   : options().ioperm_errno != 0    ? refuse(options().ioperm_errno)
                   : level > iopl_level && notroot() ? refuse(EPERM)
                                                    : (iopl_level = level, 0);
    if (rc == 0 && level == 3) kx29_ioperm(0, kx29sim::GRANT_LIMIT, 1);
    record("iopl %d -> %s", level, outcome(rc));
    return rc;
}

uid_t getuid() noexcept {
    const int id = simulated_uid();
    record("getuid -> %d", id);
    return static_cast<uid_t>(id);
}

uid_t geteuid() noexcept {
    const int id = simulated_uid();
    record("geteuid -> %d", id);
    return static_cast<uid_t>(id);
}

// The simulated ids never change.
int setreuid(uid_t ruid, uid_t euid) noexcept {
    record("setreuid %d %d -> 0", static_cast<int>(ruid), static_cast<int>(euid));
    return 0;
}

int sched_setscheduler(pid_t pid, int policy, const struct sched_param* param) noexcept {
    const int rc = options().sched_errno != 0 ? refuse(options().sched_errno) : 0;
    const char* name = policy == SCHED_FIFO    ? "FIFO"
                       : policy == SCHED_RR    ? "RR"
                       : policy == SCHED_OTHER ? "OTHER"
                                               : "?";
    const int priority = param != nullptr ? param->sched_priority : -1;
    record("sched_setscheduler %d %s %d -> %s", static_cast<int>(pid), name, priority, outcome(rc));
    return rc;
}

int mlockall(int flags) noexcept {
    const int rc = options().mlock_errno != 0 ? refuse(options().mlock_errno) : 0;
    std::string names;
    for (auto [bit, name] : {std::pair{MCL_CURRENT, "CURRENT"}, {MCL_FUTURE, "FUTURE"}, {MCL_ONFAULT, "ONFAULT"}})
        if (flags & bit) names += (names.empty() ? "" : "|") + std::string(name), flags &= ~bit;
    if (flags != 0 || names.empty()) names += (names.empty() ? "" : "|") + std::to_string(flags);
    record("mlockall %s -> %s", names.c_str(), outcome(rc));
    return rc;
}

int sigaction(int sig, const struct sigaction* act, struct sigaction* old) noexcept {
    if (sig != SIGSEGV) return real_sigaction(sig, act, old);
    if (old != nullptr) *old = app_segv;
    if (act != nullptr) app_segv = *act;
    return 0;
}

sighandler_t signal(int sig, sighandler_t handler) noexcept {
    if (sig != SIGSEGV) {
        static auto f = next<sighandler_t (*)(int, sighandler_t)>("signal");
        return f(sig, handler);
    }
    const sighandler_t was = app_segv.sa_handler;
    app_segv = {};
    app_segv.sa_handler = handler;
    app_segv.sa_flags = SA_RESTART;
    return was;
}

// Segments the process's real user owns show the simulated user as owner and
// creator, so that the daemon's ownership check sees its own segment as its own.
int shmctl(int id, int cmd, struct shmid_ds* buf) noexcept {
    static auto f = next<int (*)(int, int, struct shmid_ds*)>("shmctl");
    const uid_t real = real_euid(), shown = static_cast<uid_t>(simulated_uid());
    if (cmd == IPC_SET && buf != nullptr && real != shown && buf->shm_perm.uid == shown) {
        struct shmid_ds ds = *buf;
        ds.shm_perm.uid = real;
        return f(id, cmd, &ds);
    }
    const int rc = f(id, cmd, buf);
    if (rc >= 0 && buf != nullptr && real != shown && (cmd == IPC_STAT || cmd == SHM_STAT || cmd == SHM_STAT_ANY)) {
        if (buf->shm_perm.uid == real) buf->shm_perm.uid = shown;
        if (buf->shm_perm.cuid == real) buf->shm_perm.cuid = shown;
    }
    return rc;
}

}  // extern "C"
