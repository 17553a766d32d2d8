// Signal handling and small shared helpers of kx29ctl.
#include "ctl.h"

#include <csignal>

namespace kx29ctl {

namespace {

volatile std::sig_atomic_t g_interrupted = 0;

void on_signal(int) { g_interrupted = 1; }

}  // namespace

// A closed pipe (kx29ctl acquire ... | head) withdraws the request like Ctrl-C
// instead of killing the process with the request left running.
void install_interrupt_handlers() {
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) sigaction(sig, &sa, nullptr);
}

bool interrupted() { return g_interrupted != 0; }

std::chrono::milliseconds to_ms(double seconds) {
    return std::chrono::milliseconds(static_cast<long long>(seconds * 1000.0));
}


}  // namespace kx29ctl
