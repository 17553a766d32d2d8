// The state of the daemon and its four channels as one JSON document, the same for
// every front-end (kx29ctl status --json, the web console, the Python module).
#pragma once

#include "kx29/client.h"

#include <string>

namespace kx29 {

// {"key":..,"daemon":{"pid":..,"alive":..},"channels":[{...} x 4]}
std::string status_json(const Segment& seg);
// One channel's object of that document.
std::string channel_json(int channel, const ChannelState& s);

// A JSON string literal of text (bytes outside printable ASCII as \u00XX).
std::string json_string(const std::string& text);

// "2026-03-01 21:04:05 CET" for a time in seconds since the epoch.
std::string local_time(long t);

// "acquiring", "acquisition paused (nexp or nadd is 0)", "idle", "request pending".
const char* channel_activity(const ChannelState& s);

}  // namespace kx29
