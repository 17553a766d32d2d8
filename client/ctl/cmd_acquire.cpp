// kx29ctl acquire: writes an acquisition request, shows its progress and saves each finished image.
#include "ctl.h"
#include "progress_display.h"

#include <cstdio>
#include <unistd.h>

namespace kx29ctl {

namespace {

// The files of each image: the raw outputs, and for FITS outputs the
// calibrated image under NAME_cal.fits when masters are given.
struct Outputs {
    std::vector<std::string> patterns;
    std::vector<bool> calibrated;  // per pattern
};

Outputs plan_outputs(const AcquireOptions& o, bool calibrating) {
    Outputs out;
    bool fits = false;
    for (const auto& p : o.files.outputs) {
        const bool is_fits = kx29::require_file_type(p) == kx29::FileType::Fits;
        fits |= is_fits;
        if (!(o.no_raw && is_fits)) out.patterns.push_back(p), out.calibrated.push_back(false);
        if (calibrating && is_fits) out.patterns.push_back(kx29::calibrated_name(p)), out.calibrated.push_back(true);
    }
    if (o.no_raw && !calibrating)
        throw kx29::Error(kx29::ErrorKind::Usage, "--no-raw goes with --bias, --dark, --flat or --calib");
    if (calibrating && !fits)
        throw kx29::Error(kx29::ErrorKind::Usage, "calibrated images are FITS files: give a .fits output (-o)");
    return out;
}

// The image the request will deliver, as far as the record and the request tell before it is
// made: enough to hold the masters against it before any light is spent.
kx29::CalibImage expected_image(const kx29::Segment& seg, const kx29::Acquisition& acq) {
    const kx29::AcquireRequest& req = acq.plan().request;
    kx29::Image img;
    img.channel = req.channel;
    img.state = seg.view(req.channel).state();
    kx29::ChannelState& s = img.state;
    if (req.ref_lev) s.ref_lev = *req.ref_lev;
    if (req.exposure) s.exposure = *req.exposure;
    if (acq.plan().window) s.window = *acq.plan().window;
    s.command = CMD_ACQUIRE | (req.ccd ? CMD_CCD : 0);
    s.nadd = s.nadded = req.frames;
    img.region =
        req.crop == kx29::Crop::Full ? kx29::Window{0, 0, s.img_width, s.img_height} : kx29::clamped_window(s);
    img.exposure_s = kx29::image_exposure(s);
    img.ccd_corrected = kx29::correction_applied(s);
    img.pixels.assign(static_cast<size_t>(img.region.width) * img.region.height, 0);
    return kx29::calib_image(img);
}

}  // namespace


int run_acquire(const AcquireOptions& o) {
    kx29::AcquireRequest req = o.request;
    if (o.window) req.window = kx29::parse_window(*o.window);
    req.crop = o.files.full ? kx29::Crop::Full : kx29::Crop::Window;
    // Every output is checked before anything is asked of the daemon.
    const kx29::WriteOptions write = write_options(o.files);
    const bool calibrating = o.bias || o.dark || o.flat || o.calib_dir;
    const Outputs outputs = plan_outputs(o, calibrating);
    const kx29::OutputNames names(outputs.patterns, req.images, o.files.overwrite);
    kx29::Masters masters;
    if (o.bias) masters.bias = kx29::read_master(*o.bias, kx29::MasterKind::Bias);
    if (o.dark) masters.dark = kx29::read_master(*o.dark, kx29::MasterKind::Dark);
    if (o.flat) masters.flat = kx29::read_master(*o.flat, kx29::MasterKind::Flat);

    auto seg = kx29::Segment::attach(kx29::Access::ReadWrite);
    seg.require_daemon();
    kx29::Acquisition acq(seg, req);  // checks everything before anything is written
    // After a format switch the window is the daemon's to choose: then each image is checked alone.
    if (calibrating && !acq.plan().format_changing) {
        const kx29::CalibImage expected = expected_image(seg, acq);
        if (o.calib_dir) masters = kx29::find_masters(*o.calib_dir, expected);
        kx29::check_masters(expected, masters);
    }
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
        const std::vector<std::string> paths = names.paths(n);
        std::string raw_fits;
        for (size_t i = 0; i < paths.size(); ++i) {
            try {
                if (outputs.calibrated[i]) {
                    kx29::CalibImage c = kx29::calib_image(img, write.header);
                    c.path = raw_fits;
                    if (o.calib_dir && masters.empty()) masters = kx29::find_masters(*o.calib_dir, c);
                    kx29::save_calib_image(paths[i], kx29::calibrate(c, masters), o.files.overwrite);
                } else {
                    kx29::save_image(paths[i], img, write);
                    if (kx29::require_file_type(paths[i]) == kx29::FileType::Fits) raw_fits = paths[i];
                }
                display.note("image " + std::to_string(n) + " saved to " + paths[i]);
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
