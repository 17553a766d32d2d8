// kx29ctl clear, show, reload and set: single requests to the daemon and changes of a channel's settings.
#include "ctl.h"

#include <cstdio>

namespace kx29ctl {

namespace {

using kx29::Error;
using kx29::ErrorKind;

std::string channel_name(int n) { return "channel " + std::to_string(n); }

bool acquiring(const kx29::ChannelView& ch) { return (ch.command() & CMD_ACQUIRE) != 0; }

std::string seconds_text(double s) {
    char text[32];
    std::snprintf(text, sizeof text, "%g s", s);
    return text;
}

// Sets a request bit and waits for the daemon to clear it; on time-out the
// bit is withdrawn so that no stale request is left in the record.
bool request_and_wait(kx29::Channel& ch, int bit, double timeout_s) {
    ch.set_command_bits(bit);
    if (kx29::poll_until([&] { return (ch.command() & bit) == 0; }, to_ms(timeout_s), interrupted)) return true;
    ch.clear_command_bits(bit);
    return false;
}

}  // namespace

void reload_channel(kx29::Channel& ch, std::optional<int> format, std::chrono::milliseconds timeout) {
    const std::string name = channel_name(ch.number());
    int command = ch.command();
    // CMD_RELOAD counts only as the whole word; CMD_CCD matters only with
    // CMD_ACQUIRE and is removed, anything else is work still pending.
    if (command & ~CMD_CCD)
        throw Error(ErrorKind::Failed, name + " has a request pending (command " + kx29::command_names(command) +
                                           "); a reload needs an idle channel");
    if (command & CMD_CCD) ch.clear_command_bits(CMD_CCD);
    if (format) ch.set_next_form(*format);
    const int expected = kx29::effective_format(ch.next_form());
    if (!ch.request_reload())
        throw Error(ErrorKind::Failed, name + ": the command word changed meanwhile (command " +
                                           kx29::command_names(ch.command()) + ")");
    // The daemon sets the word to 0 and then switches the board: the record
    // becomes active and takes the format.
    bool taken = kx29::poll_until([&] { return ch.command() != CMD_RELOAD; }, timeout, interrupted);
    if (!taken) {
        ch.clear_command_bits(CMD_RELOAD);
        throw Error(ErrorKind::Failed, name + ": the daemon did not take the reload request");
    }
    if (!kx29::poll_until([&] { return ch.form() == expected && ch.activ() == 1; }, timeout, interrupted))
        throw Error(ErrorKind::Failed, name + ": format " + std::to_string(expected) + " was not loaded");
}

int run_clear(const ChannelOptions& o) {
    kx29::check_channel(o.channel);
    auto seg = kx29::Segment::attach(kx29::Access::ReadWrite);
    seg.require_daemon();
    kx29::Channel ch = seg.channel(o.channel);
    // With CMD_ACQUIRE set the bit would only make the next image start afresh.
    if (acquiring(ch)) throw Error(ErrorKind::Failed, channel_name(o.channel) + " is acquiring; the image can't be cleared");
    install_interrupt_handlers();
    if (!request_and_wait(ch, CMD_CLEAR, o.timeout_s))
        throw Error(ErrorKind::Failed, channel_name(o.channel) + ": the daemon did not clear the image within " +
                                           seconds_text(o.timeout_s));
    std::printf("%s: image cleared (seqn %d)\n", channel_name(o.channel).c_str(), ch.seqn());
    return kExitOk;
}

int run_show(const ChannelOptions& o) {
    kx29::check_channel(o.channel);
    auto seg = kx29::Segment::attach(kx29::Access::ReadWrite);
    seg.require_daemon();
    kx29::Channel ch = seg.channel(o.channel);
    install_interrupt_handlers();
    if (!request_and_wait(ch, CMD_SHOW, o.timeout_s))
        throw Error(ErrorKind::Failed, channel_name(o.channel) + ": the daemon did not show the image within " +
                                           seconds_text(o.timeout_s) + " (a version 1 board can't show images)");
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
    reload_channel(ch, o.format, to_ms(o.timeout_s));
    std::printf("%s: reloaded in format %d, image %dx%d\n", channel_name(o.channel).c_str(), ch.form(),
                ch.img_width(), ch.img_height());
    return kExitOk;
}

int run_set(const SetOptions& o) {
    kx29::check_channel(o.channel);
    if (!o.window && !o.format && !o.ref_lev && !o.exposure && !o.bias && !o.flat_file)
        throw Error(ErrorKind::Usage, "nothing to set (see kx29ctl set --help)");
    auto seg = kx29::Segment::attach(kx29::Access::ReadWrite);
    kx29::Channel ch = seg.channel(o.channel);
    kx29::ChannelState s = ch.state();

    // Everything is checked before the first write.
    if (o.format) kx29::check_format(*o.format);
    const bool switching = o.format && kx29::format_changes(s, o.format);
    std::optional<kx29::Window> window;
    if (o.window) window = kx29::resolve_window(kx29::parse_window(*o.window), s, switching);
    if (o.ref_lev) kx29::check_ref_lev(*o.ref_lev);
    if (o.bias) kx29::check_bias(*o.bias);
    if (o.exposure) kx29::check_exposure(*o.exposure, s);
    std::optional<std::array<int, KX29_MAX_COLS>> flat;
    if (o.flat_file) flat = kx29::read_flat_profile(*o.flat_file);
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
        reload_channel(ch, o.format, to_ms(o.timeout_s));
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
