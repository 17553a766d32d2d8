// The daemon's and the channels' state as one JSON document.
#include "kx29/status.h"

#include <cmath>
#include <cstdio>
#include <ctime>
#include <sstream>

namespace kx29 {

namespace {

std::string json_number(double v) {
    if (!std::isfinite(v)) return "null";
    std::ostringstream o;
    o << v;
    return o.str();
}

std::string json_names(int command) {
    std::string out = "[";
    for (const auto& name : command_name_list(command)) out += (out.size() > 1 ? "," : "") + json_string(name);
    return out + "]";
}

}  // namespace

std::string local_time(long t) {
    std::time_t tt = static_cast<std::time_t>(t);
    std::tm tm{};
    localtime_r(&tt, &tm);
    char text[64];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S %Z", &tm);
    return text;
}

std::string json_string(const std::string& raw) {
    // Valid UTF-8 first, so that the output is valid JSON whatever a record holds.
    const std::string text = valid_text(raw);
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7f) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string channel_json(int n, const ChannelState& s) {
    std::ostringstream o;
    o << "{\"channel\":" << n << ",\"num\":" << s.num << ",\"tandem\":" << (s.tandem ? "true" : "false")
      << ",\"active\":" << ((s.activ & ACTIV_SWITCHED) ? "true" : "false") << ",\"activity\":" << json_string(channel_activity(s))
      << ",\"command\":" << s.command << ",\"command_bits\":" << json_names(s.command) << ",\"format\":" << s.form
      << ",\"next_format\":" << s.next_form << ",\"ref_lev\":" << s.ref_lev << ",\"image\":{\"width\":" << s.img_width
      << ",\"height\":" << s.img_height << "},\"window\":{\"col0\":" << s.window.col0 << ",\"lin0\":" << s.window.lin0
      << ",\"width\":" << s.window.width << ",\"height\":" << s.window.height << "},\"nexp\":" << s.nexp
      << ",\"nadd\":" << s.nadd << ",\"nadded\":" << s.nadded << ",\"addlev\":" << s.addlev << ",\"seqn\":" << s.seqn
      << ",\"seqmsg\":" << s.seqmsg << ",\"exposure\":" << json_number(s.exposure) << ",\"bias\":" << s.bias
      << ",\"tstart\":" << s.tstart << ",\"tstart_local\":" << json_string(local_time(s.tstart))
      << ",\"tcurr\":" << s.tcurr << ",\"tcurr_local\":" << json_string(local_time(s.tcurr))
      << ",\"message\":" << json_string(s.msg) << "}";
    return o.str();
}

std::string status_json(const Segment& seg) {
    DaemonStatus d = seg.daemon();
    std::string out = "{\"key\":" + json_string(seg.key().name) + ",\"daemon\":{\"pid\":" + std::to_string(d.pid) +
                      ",\"alive\":" + (d.alive ? "true" : "false") + "},\"channels\":[";
    for (int n = 0; n < KX29_CHANNELS; ++n) out += (n ? "," : "") + channel_json(n, seg.view(n).state());
    return out + "]}";
}

const char* channel_activity(const ChannelState& s) {
    if ((s.command & CMD_ACQUIRE) && s.nexp != 0 && s.nadd != 0) return "acquiring";
    if (s.command & CMD_ACQUIRE) return "acquisition paused (nexp or nadd is 0)";
    if (s.command == 0 || s.command == CMD_CCD) return "idle";
    return "request pending";
}

}  // namespace kx29
