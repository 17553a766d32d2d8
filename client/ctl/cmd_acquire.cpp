// kx29ctl acquire: writes an acquisition request, shows its progress and saves each finished image.
#include "ctl.h"
#include "progress_display.h"

#include <cstdio>
#include <unistd.h>

namespace kx29ctl {


int run_acquire(const AcquireOptions& o) {
    kx29::AcquireRequest req = o.request;
    if (o.window) req.window = kx29::parse_window(*o.window);
    req.crop = o.files.full ? kx29::Crop::Full : kx29::Crop::Window;
    // Every output is checked before anything is asked of the daemon.
    const kx29::WriteOptions write = write_options(o.files);
    const kx29::OutputNames names(o.files.outputs, req.images, o.files.overwrite);

    auto seg = kx29::Segment::attach(kx29::Access::ReadWrite);
    seg.require_daemon();
    kx29::Acquisition acq(seg, req);  // checks everything before anything is written
    auto stall = o.timeout_s ? to_ms(*o.timeout_s) : kx29::default_stall_timeout(acq.plan());

    install_interrupt_handlers();
    ProgressDisplay display(req.channel, isatty(STDOUT_FILENO) != 0);
    std::optional<std::string> save_error;
    int missed = 0, saturated_images = 0, clipped_images = 0;
    bool forecast_told = false;

    kx29::AcquireEvents ev;
    ev.progress = [&](const kx29::Progress& p) {
        if (p.clip_expected_after && !forecast_told) {
            forecast_told = true;
            display.note("warning: " + kx29::clip_forecast_text(p));
        }
        display.update(p);
    };
    ev.image_done = [&](int n, const kx29::Image& img) {
        saturated_images += img.saturated();
        clipped_images += img.clipped > 0;
        for (const auto& line : kx29::image_warnings(img)) display.note("image " + std::to_string(n) + ": " + line);
        for (const auto& path : names.paths(n)) {
            try {
                kx29::save_image(path, img, write);
                display.note("image " + std::to_string(n) + " saved to " + path);
            } catch (const kx29::Error& e) {
                save_error = e.what();
            }
        }
    };
    ev.image_missed = [&](int n) {
        ++missed;
        display.note("image " + std::to_string(n) + " was overwritten by the next image before it could be copied");
    };
    // A file that can't be written ends the series: later images would be lost too.
    ev.stop_requested = [&] { return interrupted() || save_error.has_value(); };

    acq.start(stall, ev.stop_requested);
    kx29::AcquireResult r = acq.follow(ev, stall);
    display.finish();

    const std::string summary = kx29::acquisition_summary(req.channel, r, saturated_images, clipped_images);
    if (save_error) {
        std::fprintf(stderr, "kx29ctl: %s; %s\n", save_error->c_str(), summary.c_str());
        return kExitFailed;
    }
    switch (r.outcome) {
    case kx29::Outcome::Completed:
        std::printf("%s\n", summary.c_str());
        if (missed > 0 && !names.empty()) {
            std::fprintf(stderr, "kx29ctl: %d images could not be saved\n", missed);
            return kExitFailed;
        }
        return kExitOk;
    case kx29::Outcome::Interrupted:
        std::printf("%s\n", summary.c_str());
        // Ctrl-C is how an endless series ends; a finite one is left unfinished.
        return req.images < 0 && missed == 0 ? kExitOk : kExitFailed;
    default:
        std::fprintf(stderr, "kx29ctl: %s: %s\n", summary.c_str(), r.message.c_str());
        return kExitFailed;
    }
}

}  // namespace kx29ctl
