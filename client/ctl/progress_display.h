// The progress of an acquisition: a redrawn bar on a terminal, plain lines otherwise.
#pragma once

#include "kx29/acquire.h"

#include <string>

namespace kx29ctl {

class ProgressDisplay {
public:
    ProgressDisplay(int channel, bool terminal);
    void update(const kx29::Progress& p);
    // A line of its own above the bar (a saved file, a warning).
    void note(const std::string& line);
    // Ends the bar's line.
    void finish();

    // The bar's text for a given width, without control characters.
    static std::string bar_text(const kx29::Progress& p, int width);
    // "1:02:03", "02:03" or "02:03.4" for seconds.
    static std::string clock(double seconds, bool tenths);

private:
    void redraw();
    int channel_;
    bool terminal_;
    bool drawn_ = false;
    kx29::Progress last_;
};

}  // namespace kx29ctl
