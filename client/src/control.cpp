// Clear, show and reload: single requests to the daemon, each awaited and withdrawn when unanswered.
#include "kx29/control.h"
#include "kx29/settings.h"

#include <cstdio>

namespace kx29 {

namespace {

std::string channel_name(int n) { return "channel " + std::to_string(n); }

// Sets a request bit and waits for the daemon to clear it; on time-out the
// bit is withdrawn so that no stale request is left in the record.
bool request_and_wait(Channel& ch, int bit, std::chrono::milliseconds timeout, const StopFn& stop) {
    ch.set_command_bits(bit);
    if (poll_until([&] { return (ch.command() & bit) == 0; }, timeout, stop)) return true;
    ch.clear_command_bits(bit);
    return false;
}

}  // namespace

std::string seconds_text(std::chrono::milliseconds t) {
    char text[32];
    std::snprintf(text, sizeof text, "%g s", t.count() / 1000.0);
    return text;
}

bool acquiring(const ChannelState& s) { return (s.command & CMD_ACQUIRE) && s.nexp != 0 && s.nadd != 0; }

void check_window_change(int channel, const ChannelState& s) {
    if (acquiring(s) || (s.command & (CMD_ACQUIRE | CMD_CLEAR)))
        throw Error(ErrorKind::Failed, channel_name(channel) +
                                           " is acquiring; its window can't change until the acquisition ends");
}

void clear_image(Channel& ch, std::chrono::milliseconds timeout, const StopFn& stop) {
    // With CMD_ACQUIRE set the bit would only make the next image start afresh.
    if (ch.command() & CMD_ACQUIRE)
        throw Error(ErrorKind::Failed, channel_name(ch.number()) + " is acquiring; the image can't be cleared");
    const int seqn0 = ch.seqn(), nadded0 = ch.nadded(), addlev0 = ch.addlev();
    // Set by compare-and-swap: a clear bit already set belongs to another
    // client (an acquisition starting afresh asks for one first), and
    // withdrawing it on a time-out must not take away a bit set by anyone else.
    if (!ch.claim_with_clear())
        throw Error(ErrorKind::Failed, channel_name(ch.number()) + " has a request pending (command " +
                                           command_names(ch.command()) + "); the image can't be cleared now");
    if (!poll_until([&] { return (ch.command() & CMD_CLEAR) == 0; }, timeout, stop)) {
        if (ch.seqn() == seqn0) ch.withdraw_clear();  // afterwards a clear bit is another client's
        throw Error(ErrorKind::Failed, channel_name(ch.number()) + ": the daemon did not clear the image within " +
                                           seconds_text(timeout));
    }
    // The daemon zeroes the pixels but leaves the tallies; an empty image
    // holds no frames. The bit may have been taken up by another client's
    // acquisition that set it too (its first frame then replaced the image):
    // the tallies are that image's and stay, unless the clear alone happened
    // (seqn one further) and nobody changed them since they were read.
    const bool cleared_alone = ch.seqn() == static_cast<int>(static_cast<unsigned>(seqn0) + 1u);
    if (!cleared_alone || !ch.replace_nadded(nadded0, 0) || !ch.replace_addlev(addlev0, 0))
        throw Error(ErrorKind::Failed, channel_name(ch.number()) +
                                           ": another client's acquisition took the image meanwhile; it was not cleared");
}

void show_image(Channel& ch, std::chrono::milliseconds timeout, const StopFn& stop) {
    if (!request_and_wait(ch, CMD_SHOW, timeout, stop))
        throw Error(ErrorKind::Failed, channel_name(ch.number()) + ": the daemon did not show the image within " +
                                           seconds_text(timeout) + " (a version 1 board can't show images)");
}

void reload_channel(Channel& ch, std::optional<int> format, std::chrono::milliseconds timeout, const StopFn& stop) {
    const std::string name = channel_name(ch.number());
    int command = ch.command();
    // CMD_RELOAD counts only as the whole word; CMD_CCD matters only with
    // CMD_ACQUIRE and is removed, anything else is work still pending.
    if (command & ~CMD_CCD)
        throw Error(ErrorKind::Failed, name + " has a request pending (command " + command_names(command) +
                                           "); a reload needs an idle channel");
    if (command & CMD_CCD) ch.clear_command_bits(CMD_CCD);
    if (format) ch.set_next_form(*format);
    const int expected = effective_format(ch.next_form());
    if (!ch.request_reload())
        throw Error(ErrorKind::Failed,
                    name + ": the command word changed meanwhile (command " + command_names(ch.command()) + ")");
    // The daemon sets the word to 0 and then switches the board: the record
    // becomes active and takes the format.
    if (!poll_until([&] { return ch.command() != CMD_RELOAD; }, timeout, stop)) {
        ch.clear_command_bits(CMD_RELOAD);
        throw Error(ErrorKind::Failed, name + ": the daemon did not take the reload request");
    }
    if (!poll_until([&] { return ch.form() == expected && (ch.activ() & ACTIV_SWITCHED); }, timeout, stop))
        throw Error(ErrorKind::Failed, name + ": format " + std::to_string(expected) + " was not loaded");
}

}  // namespace kx29
