// kx29ctl status: the daemon's PID and liveness and every channel's record, as text or JSON.
#include "ctl.h"

#include <cmath>
#include <cstdio>
#include <sstream>

namespace kx29ctl {

namespace {

using kx29::ChannelState;

std::string json_string(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7f) {
            // Bytes outside printable ASCII as code points U+0000..U+00FF,
            // which keeps the output valid whatever the message holds.
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string json_number(double v) {
    if (!std::isfinite(v)) return "null";
    std::ostringstream o;
    o << v;
    return o.str();
}

std::string json_names(int command) {
    std::string out = "[";
    for (const auto& name : kx29::command_name_list(command)) out += (out.size() > 1 ? "," : "") + json_string(name);
    return out + "]";
}

std::string channel_json(int n, const ChannelState& s) {
    std::ostringstream o;
    o << "{\"channel\":" << n << ",\"num\":" << s.num << ",\"tandem\":" << (s.tandem ? "true" : "false")
      << ",\"active\":" << (s.activ ? "true" : "false") << ",\"command\":" << s.command
      << ",\"command_bits\":" << json_names(s.command) << ",\"format\":" << s.form << ",\"next_format\":" << s.next_form
      << ",\"ref_lev\":" << s.ref_lev << ",\"image\":{\"width\":" << s.img_width << ",\"height\":" << s.img_height
      << "},\"window\":{\"col0\":" << s.window.col0 << ",\"lin0\":" << s.window.lin0
      << ",\"width\":" << s.window.width << ",\"height\":" << s.window.height << "},\"nexp\":" << s.nexp
      << ",\"nadd\":" << s.nadd << ",\"nadded\":" << s.nadded << ",\"addlev\":" << s.addlev << ",\"seqn\":" << s.seqn
      << ",\"seqmsg\":" << s.seqmsg << ",\"exposure\":" << json_number(s.exposure) << ",\"bias\":" << s.bias
      << ",\"tstart\":" << s.tstart << ",\"tstart_local\":" << json_string(local_time(s.tstart))
      << ",\"tcurr\":" << s.tcurr << ",\"tcurr_local\":" << json_string(local_time(s.tcurr))
      << ",\"message\":" << json_string(s.msg) << "}";
    return o.str();
}

const char* activity(const ChannelState& s) {
    if ((s.command & CMD_ACQUIRE) && s.nexp != 0 && s.nadd != 0) return "acquiring";
    if (s.command & CMD_ACQUIRE) return "acquisition paused (nexp or nadd is 0)";
    if (s.command == 0 || s.command == CMD_CCD) return "idle";
    return "request pending";
}

void print_channel_text(int n, const ChannelState& s) {
    std::printf("channel %d: %s, command %s\n", n, activity(s), kx29::command_names(s.command).c_str());
    std::printf("  format %d (next %d), image %dx%d, window %d,%d %dx%d, reference level %d\n", s.form, s.next_form,
                s.img_width, s.img_height, s.window.col0, s.window.lin0, s.window.width, s.window.height, s.ref_lev);
    std::printf("  nexp %d  nadd %d  nadded %d  addlev %d  seqn %d  seqmsg %d\n", s.nexp, s.nadd, s.nadded, s.addlev,
                s.seqn, s.seqmsg);
    std::printf("  long-exposure camera %s, exposure %.3f s, bias %d, %s\n", s.tandem ? "yes" : "no", s.exposure,
                s.bias, s.activ ? "board switched here" : "board elsewhere");
    std::printf("  tstart %s, tcurr %s\n", local_time(s.tstart).c_str(), local_time(s.tcurr).c_str());
    std::printf("  message: %s\n", s.msg.c_str());
}

}  // namespace

int run_status(const StatusOptions& o) {
    auto seg = kx29::Segment::attach(kx29::Access::ReadOnly);
    kx29::DaemonStatus d = seg.daemon();
    if (o.json) {
        std::string out = "{\"key\":" + json_string(seg.key().name) + ",\"daemon\":{\"pid\":" + std::to_string(d.pid) +
                          ",\"alive\":" + (d.alive ? "true" : "false") + "},\"channels\":[";
        for (int n = 0; n < KX29_CHANNELS; ++n)
            out += (n ? "," : "") + channel_json(n, seg.view(n).state());
        std::printf("%s]}\n", out.c_str());
        return kExitOk;
    }
    if (d.alive)
        std::printf("daemon: running, PID %d (segment '%s')\n", d.pid, seg.key().name);
    else if (d.pid == 0)
        std::printf("daemon: not running, ended cleanly (segment '%s')\n", seg.key().name);
    else
        std::printf("daemon: not running, PID %d is gone (segment '%s')\n", d.pid, seg.key().name);
    for (int n = 0; n < KX29_CHANNELS; ++n) print_channel_text(n, seg.view(n).state());
    return kExitOk;
}

}  // namespace kx29ctl
