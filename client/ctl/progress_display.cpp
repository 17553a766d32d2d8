// Drawing the progress bar of an acquisition, or printing its frames as plain lines.
#include "progress_display.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sys/ioctl.h>
#include <unistd.h>

namespace kx29ctl {

namespace {

int terminal_width() {
    winsize ws{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
    return 80;
}

std::string count_of(int done, int total) {
    return std::to_string(done) + "/" + (total < 0 ? std::string("endless") : std::to_string(total));
}

}  // namespace

ProgressDisplay::ProgressDisplay(int channel, bool terminal) : channel_(channel), terminal_(terminal) {}

std::string ProgressDisplay::clock(double seconds, bool tenths) {
    seconds = std::max(0.0, seconds);
    long whole = static_cast<long>(seconds);
    char text[32];
    if (whole >= 3600)
        std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", whole / 3600, whole / 60 % 60, whole % 60);
    else if (tenths)
        std::snprintf(text, sizeof text, "%02ld:%04.1f", whole / 60, seconds - static_cast<double>(whole / 60 * 60));
    else
        std::snprintf(text, sizeof text, "%02ld:%02ld", whole / 60, whole % 60);
    return text;
}

std::string ProgressDisplay::bar_text(const kx29::Progress& p, int width) {
    std::string info = " frame " + count_of(p.frame_in_image, p.frames_per_image) + "  image " +
                       count_of(p.image_number(), p.images_total) + "  " + clock(p.elapsed_s, false) + " elapsed";
    if (p.remaining_s) info += ", " + clock(*p.remaining_s, false) + " left";
    if (p.exposure_left_s) {
        char text[48];
        std::snprintf(text, sizeof text, "  exposure %.1f s", *p.exposure_left_s);
        info += text;
    }
    // A finite series fills the bar over all its frames, an endless one over
    // the image under way.
    // A long exposure under way counts as the share of it already exposed.
    double done = p.frames_done, in_image = p.frame_in_image;
    if (p.exposure_left_s && p.frame_exposure_s > 0) {
        double exposed = std::clamp(1.0 - *p.exposure_left_s / p.frame_exposure_s, 0.0, 1.0);
        done += exposed;
        in_image += exposed;
    }
    double fraction = 0;
    if (p.images_total > 0 && p.frames_per_image > 0)
        fraction = done / (static_cast<double>(p.images_total) * p.frames_per_image);
    else if (p.frames_per_image > 0)
        fraction = in_image / p.frames_per_image;
    fraction = std::clamp(fraction, 0.0, 1.0);
    int cells = std::max(10, width - static_cast<int>(info.size()) - 3);
    int filled = static_cast<int>(std::lround(fraction * cells));
    return "[" + std::string(filled, '#') + std::string(cells - filled, '.') + "]" + info;
}

void ProgressDisplay::update(const kx29::Progress& p) {
    last_ = p;
    if (terminal_) {
        redraw();
        return;
    }
    if (!p.new_frame && !p.new_message) return;
    std::printf("[%s] ch%d frame %s image %s: %s\n", clock(p.elapsed_s, true).c_str(), channel_,
                count_of(p.frame_in_image, p.frames_per_image).c_str(),
                count_of(p.image_number(), p.images_total).c_str(), p.message.c_str());
    std::fflush(stdout);
}

void ProgressDisplay::redraw() {
    std::printf("\r\033[K%s", bar_text(last_, terminal_width() - 1).c_str());
    std::fflush(stdout);
    drawn_ = true;
}

void ProgressDisplay::note(const std::string& line) {
    if (terminal_ && drawn_) {
        std::printf("\r\033[K%s\n", line.c_str());
        redraw();
    } else {
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
    }
}

void ProgressDisplay::finish() {
    if (terminal_ && drawn_) {
        redraw();
        std::printf("\n");
        std::fflush(stdout);
    }
    drawn_ = false;
}

}  // namespace kx29ctl
