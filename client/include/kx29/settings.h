// Channel settings a client writes (format, reference level, window, exposure, bias, flat
// profile): parsing from text and checks against what the daemon will do with them.
#pragma once

#include "kx29/client.h"

#include <array>
#include <iosfwd>
#include <optional>
#include <string>

namespace kx29 {

// A window as asked for: explicit, or the whole image of the loaded format.
struct WindowRequest {
    bool full = false;
    Window window;
};

// "X,Y,W,H" (first column, first line, width, height) or "full".
WindowRequest parse_window(const std::string& text);

// The format the daemon loads for a next_form: it clamps to 1..2.
int effective_format(int next_form);

// Whether the next switch of the board loads a format other than the record's
// form. The daemon then resets the record's window to the whole image of the
// new format, whose size only the daemon's configuration knows.
bool format_changes(const ChannelState& s, std::optional<int> requested_format);

void check_channel(int channel);
void check_format(int format);
void check_ref_lev(int level);  // the board uses 6 bits: 0..63
void check_bias(int bias);      // a black level of 8-bit pixels: 0..255
// Finite, >= 0, and only on a channel with the long-exposure camera.
void check_exposure(double seconds, const ChannelState& s);
// The record's geometry must fit the record's capacity before a window is
// checked against it.
void check_geometry(const ChannelState& s);

// The window to write for a request, checked against the image the daemon
// will acquire:
// - format unchanged: the record's img_width x img_height is that image, and
//   the window must lie inside it; "full" becomes the whole of it;
// - format changing: the daemon overwrites the window with the whole new
//   image at the switch, after the client's writes, so only "full" is
//   accepted and nothing is written (nullopt).
std::optional<Window> resolve_window(const WindowRequest& req, const ChannelState& s, bool format_changing);

// A flat profile: 768 integers (1/256 grey level per column), separated by
// blanks, commas or newlines; '#' starts a comment.
std::array<int, KX29_MAX_COLS> parse_flat_profile(std::istream& in, const std::string& source);
std::array<int, KX29_MAX_COLS> read_flat_profile(const std::string& path);

}  // namespace kx29
