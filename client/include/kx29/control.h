// Single requests to the daemon (clear, show, reload) and the checks a front-end
// makes before them; each waits for the daemon and withdraws what it left undone.
#pragma once

#include "kx29/client.h"

#include <chrono>
#include <functional>
#include <optional>
#include <string>

namespace kx29 {

using StopFn = std::function<bool()>;

// Sets the image to 0 and then the record's tallies (nadded, addlev) too, so
// that no header claims frames the image no longer holds. Throws a failure
// when the channel is acquiring or the daemon does not answer in time.
void clear_image(Channel& ch, std::chrono::milliseconds timeout, const StopFn& stop = {});

// Shows the image on the board's video output (version 2 boards only).
void show_image(Channel& ch, std::chrono::milliseconds timeout, const StopFn& stop = {});

// Switches the channel to format (or its next_form) with CMD_RELOAD and waits
// until the daemon has loaded it. The word must be 0 (a leftover CMD_CCD is
// removed first); throws a failure otherwise or on time-out.
void reload_channel(Channel& ch, std::optional<int> format, std::chrono::milliseconds timeout,
                    const StopFn& stop = {});

// "0.3 s": a time-out as messages give it.
std::string seconds_text(std::chrono::milliseconds t);

// True while the channel has an acquisition with images left.
bool acquiring(const ChannelState& s);

// A window changed under a running acquisition would sum the frames of one
// image over two windows: throws a failure while the channel acquires.
void check_window_change(int channel, const ChannelState& s);

}  // namespace kx29
