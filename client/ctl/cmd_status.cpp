// kx29ctl status: the daemon's PID and liveness and every channel's record, as text or JSON.
#include "ctl.h"
#include "kx29/status.h"

#include <cstdio>

namespace kx29ctl {

namespace {

using kx29::ChannelState;

void print_channel_text(int n, const ChannelState& s) {
    std::printf("channel %d: %s, command %s\n", n, kx29::channel_activity(s), kx29::command_names(s.command).c_str());
    std::printf("  format %d (next %d), image %dx%d, window %d,%d %dx%d, reference level %d\n", s.form, s.next_form,
                s.img_width, s.img_height, s.window.col0, s.window.lin0, s.window.width, s.window.height, s.ref_lev);
    std::printf("  nexp %d  nadd %d  nadded %d  addlev %d  seqn %d  seqmsg %d\n", s.nexp, s.nadd, s.nadded, s.addlev,
                s.seqn, s.seqmsg);
    std::printf("  long-exposure camera %s, exposure %.3f s, bias %d, %s\n", s.tandem ? "yes" : "no", s.exposure,
                s.bias, (s.activ & ACTIV_SWITCHED) ? "board switched here" : "board elsewhere");
    std::printf("  tstart %s, tcurr %s\n", local_time(s.tstart).c_str(), local_time(s.tcurr).c_str());
    std::printf("  message: %s\n", s.msg.c_str());
}

}  // namespace

int run_status(const StatusOptions& o) {
    auto seg = kx29::Segment::attach(kx29::Access::ReadOnly);
    kx29::DaemonStatus d = seg.daemon();
    const int status = d.alive ? kExitOk : kExitNoDaemon;
    if (o.json) {
        std::printf("%s\n", kx29::status_json(seg).c_str());
        return status;
    }
    if (d.alive)
        std::printf("daemon: running, PID %d (segment '%s')\n", d.pid, seg.key().name);
    else if (d.pid == 0)
        std::printf("daemon: not running, ended cleanly (segment '%s')\n", seg.key().name);
    else
        std::printf("daemon: not running, PID %d is gone (segment '%s')\n", d.pid, seg.key().name);
    for (int n = 0; n < KX29_CHANNELS; ++n) print_channel_text(n, seg.view(n).state());
    return status;
}

}  // namespace kx29ctl
