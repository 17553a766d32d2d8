// kx29ctl clear, show, reload, abort and set: single requests to the daemon and changes of a channel's settings.
#include "ctl.h"

#include <cstdio>

namespace kx29ctl {

namespace {

using kx29::Error;
using kx29::ErrorKind;

std::string channel_name(int n) { return "channel " + std::to_string(n); }

// The flat profile that removes a master's column offsets, from a master of this channel and format
// taken without the correction (which would have removed part of them already).
std::array<int, KX29_MAX_COLS> profile_from_master(const std::string& path, int channel,
                                                   const kx29::ChannelState& s) {
    kx29::CalibImage m = kx29::read_calib_image(path);
    auto refuse = [&](const std::string& why) { throw Error(ErrorKind::Usage, path + ": " + why); };
    if (m.number("CHANNEL") != channel)
        refuse("CHANNEL is " + m.text("CHANNEL") + ", not " + std::to_string(channel) + " as asked (-c)");
    if (m.number("FORMAT") != s.form)
        refuse("FORMAT is " + m.text("FORMAT") + ", not the channel's " + std::to_string(s.form));
    if (m.text("CCDCORR") == "T")
        refuse("taken with the column correction (CCDCORR = T): take its frames without --ccd");
    return kx29::column_profile(m);
}

}  // namespace

int run_clear(const ChannelOptions& o) {
    kx29::check_channel(o.channel);
    auto seg = kx29::Segment::attach(kx29::Access::ReadWrite);
    seg.require_daemon();
    kx29::Channel ch = seg.channel(o.channel);
    install_interrupt_handlers();
    kx29::clear_image(ch, to_ms(o.timeout_s), interrupted);
    std::printf("%s: image cleared (seqn %d)\n", channel_name(o.channel).c_str(), ch.seqn());
    return kExitOk;
}

int run_show(const ChannelOptions& o) {
    kx29::check_channel(o.channel);
    auto seg = kx29::Segment::attach(kx29::Access::ReadWrite);
    seg.require_daemon();
    kx29::Channel ch = seg.channel(o.channel);
    install_interrupt_handlers();
    kx29::show_image(ch, to_ms(o.timeout_s), interrupted);
    std::printf("%s: image shown on the video output\n", channel_name(o.channel).c_str());
    return kExitOk;
}

int run_reload(const ReloadOptions& o) {
    kx29::check_channel(o.channel);
    if (o.format) kx29::check_format(*o.format);
    auto seg = kx29::Segment::attach(kx29::Access::ReadWrite);
    seg.require_daemon();
    kx29::Channel ch = seg.channel(o.channel);
    install_interrupt_handlers();
    kx29::reload_channel(ch, o.format, to_ms(o.timeout_s), interrupted);
    std::printf("%s: reloaded in format %d, image %dx%d\n", channel_name(o.channel).c_str(), ch.form(),
                ch.img_width(), ch.img_height());
    return kExitOk;
}

int run_abort(const AbortOptions& o) {
    if (o.all == o.channel.has_value()) throw Error(ErrorKind::Usage, "give either -c N or --all");
    if (o.channel) kx29::check_channel(*o.channel);
    auto seg = kx29::Segment::attach(kx29::Access::ReadWrite);
    int busy = 0;
    for (int n = 0; n < KX29_CHANNELS; ++n) {
        if (o.channel && *o.channel != n) continue;
        kx29::AbortReport r = kx29::abort_channel(seg, n, to_ms(o.timeout_s));
        std::printf("%s\n", r.summary.c_str());
        if (!r.idle) ++busy;
    }
    return busy ? kExitFailed : kExitOk;
}

int run_set(const SetOptions& o) {
    kx29::check_channel(o.channel);
    if (!o.window && !o.format && !o.ref_lev && !o.exposure && !o.bias && !o.flat_file && !o.profile_master)
        throw Error(ErrorKind::Usage, "nothing to set (see kx29ctl set --help)");
    auto seg = kx29::Segment::attach(kx29::Access::ReadWrite);
    kx29::Channel ch = seg.channel(o.channel);
    kx29::ChannelState s = ch.state();

    // Everything is checked before the first write.
    if (o.format) kx29::check_format(*o.format);
    const bool switching = o.format && kx29::format_changes(s, o.format);
    std::optional<kx29::Window> window;
    if (o.window) {
        window = kx29::resolve_window(kx29::parse_window(*o.window), s, switching);
        kx29::check_window_change(o.channel, s);
    }
    if (o.ref_lev) kx29::check_ref_lev(*o.ref_lev);
    if (o.bias) kx29::check_bias(*o.bias);
    if (o.exposure) kx29::check_exposure(*o.exposure, s);
    std::optional<std::array<int, KX29_MAX_COLS>> flat;
    if (o.flat_file) flat = kx29::read_flat_profile(*o.flat_file);
    if (o.profile_master) flat = profile_from_master(*o.profile_master, o.channel, s);
    if (switching) {
        seg.require_daemon();
        if (s.command & ~CMD_CCD)
            throw Error(ErrorKind::Failed, channel_name(o.channel) + " is busy (command " +
                                               kx29::command_names(s.command) + "); the format can't change now");
    }

    if (o.exposure) ch.set_exposure(*o.exposure);
    if (o.ref_lev) ch.set_ref_lev(*o.ref_lev);
    if (o.bias) ch.set_bias(*o.bias);
    if (flat) ch.set_flat(*flat);
    if (window) ch.set_window(*window);
    if (switching) {
        install_interrupt_handlers();
        kx29::reload_channel(ch, o.format, to_ms(o.timeout_s), interrupted);
    } else if (o.format) {
        ch.set_next_form(*o.format);
    }
    kx29::ChannelState now = ch.state();
    std::printf("%s: format %d, image %dx%d, window %d,%d %dx%d, reference level %d, exposure %.3f s, bias %d\n",
                channel_name(o.channel).c_str(), now.form, now.img_width, now.img_height, now.window.col0,
                now.window.lin0, now.window.width, now.window.height, now.ref_lev, now.exposure, now.bias);
    return kExitOk;
}

}  // namespace kx29ctl
