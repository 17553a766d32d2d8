// The INDI CCD device of one channel: exposures, live video and the board's controls, each
// carried out through the client library on the device's worker thread.
#include "channel_ccd.h"

#include "kx29/control.h"
#include "kx29/image.h"
#include "kx29/settings.h"

#include <cmath>
#include <cstring>
#include <fitsio.h>
#include <variant>

namespace kx29indi {

namespace {

const char* const kBoardGroup = "Board";
constexpr double kLongestExposure = 3600;
constexpr std::chrono::milliseconds kBoardRequestTimeout{15000};
constexpr uint32_t kLivenessPeriodMs = 1000;

kx29::ImageType image_type(INDI::CCDChip::CCD_FRAME t) {
    switch (t) {
    case INDI::CCDChip::BIAS_FRAME: return kx29::ImageType::Bias;
    case INDI::CCDChip::DARK_FRAME: return kx29::ImageType::Dark;
    case INDI::CCDChip::FLAT_FRAME: return kx29::ImageType::Flat;
    default: return kx29::ImageType::Light;
    }
}

void write_card(fitsfile* fptr, const kx29::HeaderCard& card, int* status) {
    const char* name = card.name.c_str();
    const char* comment = card.comment.c_str();
    std::visit(
        [&](const auto& v) {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, bool>) {
                int logical = v ? 1 : 0;
                fits_update_key(fptr, TLOGICAL, name, &logical, comment, status);
            } else if constexpr (std::is_same_v<T, long long>) {
                LONGLONG value = v;
                fits_update_key(fptr, TLONGLONG, name, &value, comment, status);
            } else if constexpr (std::is_same_v<T, double>) {
                double value = v;  // negative decimals: as few digits as the value needs
                if (card.decimals < 0) fits_update_key(fptr, TDOUBLE, name, &value, comment, status);
                else fits_update_key_fixdbl(fptr, name, value, card.decimals, comment, status);
            } else {
                fits_update_key_str(fptr, name, v.c_str(), comment, status);
            }
        },
        card.value);
}

// A number a client sends for a record field: finite and whole.
std::optional<int> whole_number(double v) {
    if (!std::isfinite(v) || v != std::floor(v) || std::fabs(v) > 1e9) return std::nullopt;
    return static_cast<int>(v);
}

}  // namespace

ChannelCcd::ChannelCcd(int channel) : channel_(channel), name_("KX29 Channel " + std::to_string(channel)) {
    setDeviceName(name_.c_str());
    setVersion(1, 1);
}

const char* ChannelCcd::getDefaultName() { return name_.c_str(); }

bool ChannelCcd::initProperties() {
    CCD::initProperties();
    prepare_main_queue();
    SetCCDCapability(CCD_CAN_ABORT | CCD_CAN_BIN | CCD_CAN_SUBFRAME | CCD_HAS_STREAMING);
    addCaptureFormat({"INDI_MONO", "Mono", 16, true});

    const char* dev = getDeviceName();
    format_sp_[0].fill("FORMAT_1", "Format 1", ISS_ON);
    format_sp_[1].fill("FORMAT_2", "Format 2", ISS_OFF);
    format_sp_.fill(dev, "KX29_FORMAT", "Image format", kBoardGroup, IP_RW, ISR_1OFMANY, 60, IPS_IDLE);
    ref_lev_np_[0].fill("REF_LEV", "Level (0..63)", "%.0f", 0, 63, 1, 60);
    ref_lev_np_.fill(dev, "KX29_REF_LEV", "Reference level", kBoardGroup, IP_RW, 60, IPS_IDLE);
    ccd_sp_[0].fill("CCD_ON", "On", ISS_OFF);
    ccd_sp_[1].fill("CCD_OFF", "Off", ISS_ON);
    ccd_sp_.fill(dev, "KX29_CCD_CORRECTION", "CCD correction", kBoardGroup, IP_RW, ISR_1OFMANY, 60, IPS_IDLE);
    bias_np_[0].fill("BIAS", "Bias (0..255)", "%.0f", 0, 255, 1, 0);
    bias_np_.fill(dev, "KX29_CCD_BIAS", "CCD bias", kBoardGroup, IP_RW, 60, IPS_IDLE);
    show_sp_[0].fill("SHOW", "Show image", ISS_OFF);
    show_sp_.fill(dev, "KX29_SHOW", "Video output", kBoardGroup, IP_RW, ISR_ATMOST1, 60, IPS_IDLE);
    reload_sp_[0].fill("RELOAD", "Reload", ISS_OFF);
    reload_sp_.fill(dev, "KX29_RELOAD", "Channel", kBoardGroup, IP_RW, ISR_ATMOST1, 60, IPS_IDLE);
    pixel_size_np_[0].fill("PIXEL_X", "Width (um)", "%.2f", 1, 40, 0.01, 8.6);
    pixel_size_np_[1].fill("PIXEL_Y", "Height (um)", "%.2f", 1, 40, 0.01, 8.3);
    pixel_size_np_.fill(dev, "KX29_PIXEL_SIZE", "Pixel size", kBoardGroup, IP_RW, 60, IPS_IDLE);

    addDebugControl();
    addConfigurationControl();
    return true;
}

bool ChannelCcd::updateProperties() {
    CCD::updateProperties();
    if (isConnected()) {
        define_board_properties();
        refresh_from_record();
        // The stream's rate is measured (see note_interval): none before a stream has run.
        if (INDI::PropertyNumber fps = getNumber("FPS"); fps.isValid()) {
            for (size_t i = 0; i < fps.size(); ++i) fps[i].setValue(0);
            fps.apply();
        }
    } else {
        delete_board_properties();
    }
    return true;
}

void ChannelCcd::define_board_properties() {
    for (INDI::Property p : {INDI::Property(format_sp_), INDI::Property(ref_lev_np_), INDI::Property(ccd_sp_),
                             INDI::Property(bias_np_), INDI::Property(show_sp_), INDI::Property(reload_sp_),
                             INDI::Property(pixel_size_np_)})
        defineProperty(p);
}

void ChannelCcd::delete_board_properties() {
    for (const char* name : {"KX29_FORMAT", "KX29_REF_LEV", "KX29_CCD_CORRECTION", "KX29_CCD_BIAS", "KX29_SHOW",
                             "KX29_RELOAD", "KX29_PIXEL_SIZE"})
        deleteProperty(name);
}

bool ChannelCcd::Connect() {
    try {
        auto seg = std::make_shared<kx29::Segment>(kx29::Segment::attach(kx29::Access::ReadWrite));
        seg->require_daemon();
        kx29::check_geometry(seg->view(channel_).state());
        segment_ = std::move(seg);
    } catch (const kx29::Error& e) {
        LOGF_ERROR("Cannot connect to the KX29 daemon: %s", e.what());
        return false;
    }
    daemon_pid_ = segment_->daemon().pid;
    LOGF_INFO("Channel %d of the daemon (pid %d) on segment key \"%s\".", channel_, segment_->daemon().pid,
              std::string(segment_->key().name, 4).c_str());
    timer_id_ = SetTimer(kLivenessPeriodMs);
    return true;
}

bool ChannelCcd::Disconnect() {
    worker_.stop_all();  // a job keeps its own reference to the segment until it has withdrawn
    segment_.reset();
    if (timer_id_ >= 0) RemoveTimer(timer_id_);
    timer_id_ = -1;
    return true;
}

// Watches the daemon while connected: an acquisition notices its end by itself, an idle
// device only through this.
void ChannelCcd::TimerHit() {
    if (isConnected() && segment_ && !busy()) daemon_alive();
    timer_id_ = SetTimer(kLivenessPeriodMs);
}

// Whether a daemon serves the channel, saying so when that changes. A daemon that ended may
// have its segment removed and a new daemon start on a new one under the same key, which the
// old attachment never shows: a fresh attachment with a live daemon replaces it then (a job
// keeps the old one until it ends).
bool ChannelCcd::daemon_alive() {
    kx29::DaemonStatus daemon = segment_->daemon();
    if (!daemon.alive) {
        try {
            auto seg = std::make_shared<kx29::Segment>(kx29::Segment::attach(kx29::Access::ReadWrite));
            if ((daemon = seg->daemon()).alive) {
                kx29::check_geometry(seg->view(channel_).state());
                segment_ = std::move(seg);
            }
        } catch (const kx29::Error&) {
            daemon.alive = false;  // no segment yet, or a record it cannot use
        }
    }
    if (!daemon.alive && daemon_pid_ != 0)
        LOGF_ERROR("The KX29 daemon has ended: channel %d cannot acquire until it runs again.", channel_);
    if (daemon.alive && daemon.pid != daemon_pid_) {  // another daemon, which may have another configuration
        LOGF_INFO("The KX29 daemon runs again (pid %d).", daemon.pid);
        refresh_from_record();
    }
    daemon_pid_ = daemon.alive ? daemon.pid : 0;
    return daemon.alive;
}

// An exposure, the stream or a board request under way. A job that is only winding down
// after an abort does not count: what changes now concerns the next request.
bool ChannelCcd::busy() const {
    return board_request_pending_ || PrimaryCCD.isExposing() || (Streamer && Streamer->isStreaming());
}

bool ChannelCcd::refuse(INDI::Property prop, const std::string& why) {
    LOG_ERROR(why.c_str());
    prop.setState(IPS_ALERT);
    prop.apply();
    return false;
}

// ---- Exposures and live video ---------------------------------------------------------

kx29::AcquireRequest ChannelCcd::request_for_frame() const {
    kx29::AcquireRequest req;
    req.channel = channel_;
    req.add = false;  // every image starts afresh
    req.ccd = ccd_correction_;
    req.window = kx29::WindowRequest{false, kx29::Window{PrimaryCCD.getSubX(), PrimaryCCD.getSubY(),
                                                         PrimaryCCD.getSubW(), PrimaryCCD.getSubH()}};
    req.crop = kx29::Crop::Window;
    return req;
}

ChannelCcd::Shot ChannelCcd::shot(const kx29::AcquireRequest& req) const {
    return Shot{segment_, req, PrimaryCCD.getBinX(), PrimaryCCD.getBinY()};
}

bool ChannelCcd::StartExposure(float) {
    const double seconds = ExposureTime;  // as asked for, before its narrowing to float
    if (!segment_) {
        LOG_ERROR("Not connected to the KX29 daemon.");
        return false;
    }
    if (Streamer->isStreaming() || board_request_pending_) {
        LOGF_ERROR("Channel %d is busy with the video stream or a board request.", channel_);
        return false;
    }
    if (!daemon_alive()) return false;
    if (!std::isfinite(seconds)) {
        LOG_ERROR("The exposure time must be a number of seconds.");
        return false;
    }
    if (PrimaryCCD.getSubW() < PrimaryCCD.getBinX() || PrimaryCCD.getSubH() < PrimaryCCD.getBinY()) {
        LOG_ERROR("The frame is smaller than one bin.");
        return false;
    }
    kx29::AcquireRequest req = request_for_frame();
    kx29::ChannelState wanted;  // the daemon's rule, as the record will hold it
    wanted.tandem = tandem_ ? 1 : 0;
    wanted.exposure = seconds;
    const bool long_exposure = kx29::long_exposure(wanted);
    req.frames = long_exposure ? 1 : video_frames_for(seconds);
    // The record keeps the last long exposure: a short one must set it back to a video frame.
    if (tandem_) req.exposure = long_exposure ? seconds : kVideoFrameSeconds;
    try {
        kx29::plan_acquisition(req, segment_->view(channel_).state());
    } catch (const kx29::Error& e) {
        LOG_ERROR(e.what());
        return false;
    }
    // The camera has no shutter (no CCD_HAS_SHUTTER): bias and dark frames need it capped.
    const auto type = PrimaryCCD.getFrameType();
    if (type == INDI::CCDChip::BIAS_FRAME || type == INDI::CCDChip::DARK_FRAME)
        LOGF_WARN("Channel %d has no shutter: cap the camera for %s frames.", channel_,
                  type == INDI::CCDChip::BIAS_FRAME ? "bias" : "dark");
    PrimaryCCD.setExposureDuration(long_exposure ? seconds : req.frames * kVideoFrameSeconds);
    // The time left as the exposure begins: its frames at the pace last measured (the base
    // class sends this value with the Busy state); the library's estimate follows.
    Shot s = shot(req);
    s.estimated = !long_exposure && frame_interval_;
    if (s.estimated) getNumber("CCD_EXPOSURE")[0].setValue(req.frames * *frame_interval_);
    InExposure = true;
    worker_.post([this, s](std::stop_token stop) { run_exposure(s, stop); });
    return true;
}

bool ChannelCcd::AbortExposure() {
    worker_.stop_all();  // the job withdraws its request and waits for the frame under way
    InExposure = false;
    return true;
}

// Why an acquisition ended without an image (every outcome but Completed, and Completed
// when the image could not be copied): the line that goes with its Alert, the library's
// summary and reason. An abort from this device is not reported so: the base class has
// already set the exposure Idle or the stream off.
std::string ChannelCcd::outcome_message(const kx29::AcquireResult& r) const {
    if (r.outcome == kx29::Outcome::Completed)
        return "channel " + std::to_string(channel_) +
               ": the image was overwritten by another acquisition before it could be copied";
    return kx29::acquisition_summary(channel_, r, 0) + ": " + r.message;
}

// The pace measured on the channel: the first estimate of the next exposure's time left,
// and the stream's rate as libindi states it (STREAMING_EXPOSURE, its seconds per frame, from
// which it gives the "theoretical FPS" when a stream starts).
void ChannelCcd::note_interval(double seconds) {
    frame_interval_ = seconds;
    INDI::PropertyNumber target = getNumber("STREAMING_EXPOSURE");
    if (!target.isValid() || std::fabs(target[0].getValue() - seconds) < 0.01 * seconds) return;
    target[0].setValue(seconds);
    target.apply();
}

void ChannelCcd::run_exposure(const Shot& shot, std::stop_token stop) {
    if (stop.stop_requested()) return;
    std::optional<kx29::Image> image;
    kx29::AcquireResult result;
    FrameInterval interval;
    try {
        kx29::Acquisition acq(*shot.segment, shot.request);
        const auto stall = kx29::default_stall_timeout(acq.plan());
        kx29::AcquireEvents ev;
        ev.stop_requested = [&] { return stop.stop_requested(); };
        acq.start(stall, ev.stop_requested);  // an abort ends the wait for the daemon's turn too
        const bool long_exposure = acq.plan().long_exposure;
        bool counted = false, forecast = false;
        ev.progress = [&](const kx29::Progress& p) {
            interval.add(p);
            if (p.clip_expected_after && !forecast) {
                forecast = true;
                run_on_main([this, why = kx29::clip_forecast_text(p)] {
                    LOGF_WARN("channel %d: %s", channel_, why.c_str());
                });
            }
            // The library's time left: the daemon's countdown of a long exposure, or the frames
            // left at the measured pace. Sent at once, then with each frame or message; but
            // until the library has measured the pace, the estimate sent at the start is better.
            const std::optional<double> left = long_exposure ? p.exposure_left_s : p.remaining_s;
            if (!left || (shot.estimated && !interval.seconds()) || (counted && !p.new_frame && !p.new_message))
                return;
            counted = true;
            run_on_main([this, stop, left = *left] {
                if (!stop.stop_requested() && PrimaryCCD.isExposing()) PrimaryCCD.setExposureLeft(left);
            });
        };
        ev.image_done = [&](int, const kx29::Image& img) { image = img; };
        result = acq.follow(ev, stall);
        if (auto seconds = interval.seconds()) run_on_main([this, s = *seconds] { note_interval(s); });
    } catch (const kx29::Error& e) {
        run_on_main([this, stop, why = std::string(e.what())] {
            if (!stop.stop_requested()) fail_exposure(why);
        });
        return;
    }
    if (result.outcome == kx29::Outcome::Interrupted) {
        kx29::abort_channel(*shot.segment, channel_);
        return;
    }
    std::string why;
    std::shared_ptr<Frame16> frame;
    if (result.outcome != kx29::Outcome::Completed || !image)
        why = outcome_message(result);
    else if (image->region != shot.request.window->window)
        why = "channel " + std::to_string(channel_) + ": another client changed the window during the exposure";
    else
        try {
            frame = std::make_shared<Frame16>(binned_sum(*image, shot.binx, shot.biny));
        } catch (const kx29::Error& e) {
            why = e.what();  // sums that do not fit 32 bits: a record no acquisition leaves
        }
    if (!why.empty()) {
        run_on_main([this, stop, why] {
            if (!stop.stop_requested()) fail_exposure(why);
        });
        return;
    }
    auto img = std::make_shared<kx29::Image>(std::move(*image));
    run_on_main([this, stop, frame, img] {
        if (stop.stop_requested() || !PrimaryCCD.isExposing()) return;
        deliver_exposure(*frame, *img);
    });
}

void ChannelCcd::deliver_exposure(const Frame16& frame, const kx29::Image& img) {
    // The frame and binning cannot change during an exposure, so this only guards the
    // size of the buffer that the FITS writer reads.
    if (frame.width != PrimaryCCD.getSubW() / PrimaryCCD.getBinX() ||
        frame.height != PrimaryCCD.getSubH() / PrimaryCCD.getBinY()) {
        fail_exposure("the image does not match the frame and binning");
        return;
    }
    kx29::HeaderOptions opt;
    opt.type = image_type(PrimaryCCD.getFrameType());
    opt.creator = "indi_kx29_ccd";
    FrameHeader header;
    try {
        header = frame_header(img, frame, PrimaryCCD.getBinX(), PrimaryCCD.getBinY(), opt);
    } catch (const kx29::Error& e) {
        fail_exposure(e.what());  // a record the library cannot describe
        return;
    }
    for (const auto& line : kx29::image_warnings(img)) LOGF_WARN("channel %d: %s", channel_, line.c_str());
    {
        std::lock_guard guard(ccdBufferLock);
        PrimaryCCD.setFrameBufferSize(frame.byte_count());
        std::memcpy(PrimaryCCD.getFrameBuffer(), frame.bytes(), frame.byte_count());
        header_ = std::move(header);
    }
    // The base class's EXPTIME and DARKTIME: the light the library says the pixels hold.
    if (img.exposure_s) PrimaryCCD.setExposureDuration(*img.exposure_s);
    InExposure = false;
    ExposureComplete(&PrimaryCCD);
}

void ChannelCcd::fail_exposure(const std::string& why) {
    InExposure = false;
    LOG_ERROR(why.c_str());
    PrimaryCCD.setExposureFailed();
}

// Called while the base class writes the FITS file, with ccdBufferLock held. The library's
// cards replace the base class's where both write one (DATE-OBS from the request's time,
// IMAGETYP, INSTRUME, ...); the base class's others (telescope, observer, binning) stay.
void ChannelCcd::addFITSKeywords(INDI::CCDChip* chip) {
    CCD::addFITSKeywords(chip);
    fitsfile* fptr = *chip->fitsFilePointer();
    for (const auto& card : header_.cards) {
        int status = 0;
        write_card(fptr, card, &status);
        if (status != 0) LOGF_WARN("FITS keyword %s not written (cfitsio status %d).", card.name.c_str(), status);
    }
    int status = 0;
    for (const auto& line : header_.comments) fits_write_comment(fptr, line.c_str(), &status);
}

bool ChannelCcd::StartStreaming() {
    if (!segment_) {
        LOG_ERROR("Not connected to the KX29 daemon.");
        return false;
    }
    if (busy()) {
        LOGF_ERROR("Channel %d is busy: the video stream starts once the exposure has ended.", channel_);
        return false;
    }
    if (!daemon_alive()) return false;
    if (!frame_interval_)  // libindi has just stated its default rate
        LOG_INFO("The stream runs at the daemon's pace, not at that rate: FPS shows it once frames arrive.");
    kx29::AcquireRequest req = request_for_frame();
    req.frames = 1;
    req.images = -1;  // one image per frame, until stopped
    if (tandem_) req.exposure = kVideoFrameSeconds;
    try {
        kx29::plan_acquisition(req, segment_->view(channel_).state());
    } catch (const kx29::Error& e) {
        LOG_ERROR(e.what());
        return false;
    }
    const Shot s = shot(req);
    Streamer->setPixelFormat(INDI_MONO, 8);
    Streamer->setSize(PrimaryCCD.getSubW() / s.binx, PrimaryCCD.getSubH() / s.biny);
    worker_.post([this, s](std::stop_token stop) { run_stream(s, stop); });
    return true;
}

bool ChannelCcd::StopStreaming() {
    worker_.stop_all();
    return true;
}

void ChannelCcd::run_stream(const Shot& shot, std::stop_token stop) {
    if (stop.stop_requested()) return;
    kx29::AcquireResult result;
    try {
        kx29::Acquisition acq(*shot.segment, shot.request);
        const auto stall = kx29::default_stall_timeout(acq.plan());
        kx29::AcquireEvents ev;
        ev.stop_requested = [&] { return stop.stop_requested(); };
        acq.start(stall, ev.stop_requested);
        FrameInterval interval;
        ev.progress = [&](const kx29::Progress& p) {
            interval.add(p);
            if (auto seconds = interval.seconds(); seconds && p.new_frame)
                run_on_main([this, stop, s = *seconds] {
                    if (!stop.stop_requested()) note_interval(s);
                });
        };
        ev.image_done = [&](int, const kx29::Image& img) {
            if (img.region != shot.request.window->window) return;  // another client's window: not this stream
            const auto video = video_pixels(binned_sum(img, shot.binx, shot.biny), shot.binx, shot.biny);
            // Under the lock the stream's size is the one this frame has, unless it was stopped.
            std::lock_guard guard(ccdBufferLock);
            if (stop.stop_requested()) return;
            Streamer->newFrame(video.data(), static_cast<uint32_t>(video.size()));
        };
        result = acq.follow(ev, stall);
    } catch (const kx29::Error& e) {
        result.outcome = kx29::Outcome::Failed;
        result.message = e.what();
    }
    if (result.outcome == kx29::Outcome::Interrupted) {
        kx29::abort_channel(*shot.segment, channel_);
        return;
    }
    run_on_main([this, stop, why = outcome_message(result)] {
        if (stop.stop_requested()) return;
        LOG_ERROR(why.c_str());
        Streamer->setStream(false);
    });
}

// ---- Frame and binning ----------------------------------------------------------------

bool ChannelCcd::UpdateCCDFrame(int x, int y, int w, int h) {
    if (busy()) {
        LOGF_ERROR("Channel %d is busy: change the frame between exposures.", channel_);
        return false;
    }
    const int width = PrimaryCCD.getXRes(), height = PrimaryCCD.getYRes();
    if (x < 0 || y < 0 || w < 1 || h < 1 || x + w > width || y + h > height) {
        LOGF_ERROR("Frame %d,%d %dx%d does not lie inside the %dx%d image.", x, y, w, h, width, height);
        return false;
    }
    PrimaryCCD.setFrame(x, y, w, h);
    std::lock_guard guard(ccdBufferLock);
    Streamer->setSize(w / PrimaryCCD.getBinX(), h / PrimaryCCD.getBinY());
    return true;
}

bool ChannelCcd::UpdateCCDBin(int hor, int ver) {
    if (busy()) {
        LOGF_ERROR("Channel %d is busy: change the binning between exposures.", channel_);
        return false;
    }
    std::lock_guard guard(ccdBufferLock);
    return CCD::UpdateCCDBin(hor, ver);
}

// ---- Board controls -------------------------------------------------------------------

// The record's current format, geometry and levels into the properties.
void ChannelCcd::refresh_from_record() {
    const kx29::ChannelState s = segment_->view(channel_).state();
    tandem_ = s.tandem != 0;
    // The frame and binning stay while the geometry does (a daemon started again, say).
    if (s.img_width != PrimaryCCD.getXRes() || s.img_height != PrimaryCCD.getYRes())
        SetCCDParams(s.img_width, s.img_height, 16, pixel_size_np_[0].getValue(), pixel_size_np_[1].getValue());
    PrimaryCCD.setFrameBufferSize(static_cast<uint32_t>(s.img_width) * s.img_height * sizeof(uint16_t));
    const double longest = tandem_ ? kLongestExposure : kMaxVideoFrames * kVideoFrameSeconds;
    // Sent only when they change: the update carries the exposure's state, which a client
    // asking for an exposure now must not see as that of its own.
    INDI::PropertyNumber exposure = getNumber("CCD_EXPOSURE");
    PrimaryCCD.setMinMaxStep("CCD_EXPOSURE", "CCD_EXPOSURE_VALUE", kVideoFrameSeconds, longest, kVideoFrameSeconds,
                             exposure[0].getMin() != kVideoFrameSeconds || exposure[0].getMax() != longest);
    format_sp_.reset();
    format_sp_[kx29::effective_format(s.form) - 1].setState(ISS_ON);
    format_sp_.apply();
    ref_lev_np_[0].setValue(s.ref_lev);
    ref_lev_np_.apply();
    bias_np_[0].setValue(s.bias);
    bias_np_.apply();
}

bool ChannelCcd::set_record_number(INDI::PropertyNumber& prop, double values[], char* names[], int n) {
    if (!segment_) return refuse(prop, "Not connected to the KX29 daemon.");
    const std::optional<int> v = n == 1 ? whole_number(values[0]) : std::nullopt;
    if (!v) return refuse(prop, std::string(prop.getLabel()) + ": a whole number is expected.");
    try {
        kx29::Channel ch = segment_->channel(channel_);
        if (&prop == &ref_lev_np_) {
            kx29::check_ref_lev(*v);
            ch.set_ref_lev(*v);
        } else {
            kx29::check_bias(*v);
            ch.set_bias(*v);
        }
    } catch (const kx29::Error& e) {
        return refuse(prop, std::string(prop.getLabel()) + ": " + e.what());
    }
    prop.update(values, names, n);
    prop.setState(IPS_OK);
    prop.apply();
    return true;
}

void ChannelCcd::run_board_request(INDI::PropertySwitch& prop,
                                   std::function<void(kx29::Channel&, const kx29::StopFn&)> request,
                                   bool geometry_changes) {
    if (!segment_) {
        refuse(prop, "Not connected to the KX29 daemon.");
        return;
    }
    if (busy()) {
        refuse(prop, "Channel " + std::to_string(channel_) + " is busy with an exposure or the video stream.");
        return;
    }
    prop.setState(IPS_BUSY);
    prop.apply();
    board_request_pending_ = true;
    worker_.post([this, seg = segment_, &prop, request, geometry_changes](std::stop_token stop) {
        std::string error;
        try {
            kx29::Channel ch = seg->channel(channel_);
            request(ch, [&] { return stop.stop_requested(); });
        } catch (const kx29::Error& e) {
            error = e.what();
        }
        run_on_main([this, &prop, error, geometry_changes] {
            board_request_pending_ = false;
            if (!isConnected() || !segment_) return;
            if (geometry_changes) refresh_from_record();
            if (prop.size() == 1) prop.reset();  // a button springs back
            if (!error.empty()) LOG_ERROR(error.c_str());
            prop.setState(error.empty() ? IPS_OK : IPS_ALERT);
            prop.apply();
        });
    });
}

bool ChannelCcd::ISNewNumber(const char* dev, const char* name, double values[], char* names[], int n) {
    if (dev != nullptr && std::strcmp(dev, getDeviceName()) == 0) {
        // The base class would take 2.5 as 2 (and keep 2.5), NaN as the lowest int.
        if (std::strcmp(name, "CCD_BINNING") == 0)
            for (int i = 0; i < n; ++i)
                if (auto bin = whole_number(values[i]); !bin || *bin < 1 || *bin > kMaxBinning)
                    return refuse(getNumber(name), "Binning: each side a whole number from 1 to " +
                                                       std::to_string(kMaxBinning) + ".");
        if (ref_lev_np_.isNameMatch(name)) return set_record_number(ref_lev_np_, values, names, n);
        if (bias_np_.isNameMatch(name)) return set_record_number(bias_np_, values, names, n);
        if (pixel_size_np_.isNameMatch(name)) {
            double size[2] = {pixel_size_np_[0].getValue(), pixel_size_np_[1].getValue()};
            for (int i = 0; i < n; ++i) {
                const int k = pixel_size_np_.findWidgetIndexByName(names[i]);
                if (k < 0 || !std::isfinite(values[i]) || values[i] < 1 || values[i] > 40)
                    return refuse(pixel_size_np_, "Pixel size: 1 to 40 um per side.");
                size[k] = values[i];
            }
            pixel_size_np_[0].setValue(size[0]);
            pixel_size_np_[1].setValue(size[1]);
            PrimaryCCD.setPixelSize(size[0], size[1]);
            pixel_size_np_.setState(IPS_OK);
            pixel_size_np_.apply();
            return true;
        }
    }
    return CCD::ISNewNumber(dev, name, values, names, n);
}

bool ChannelCcd::ISNewSwitch(const char* dev, const char* name, ISState* states, char* names[], int n) {
    if (dev != nullptr && std::strcmp(dev, getDeviceName()) == 0) {
        const char* on = IUFindOnSwitchName(states, names, n);
        if (format_sp_.isNameMatch(name)) {
            const int format = on == nullptr ? 0 : std::strcmp(on, "FORMAT_1") == 0 ? 1 : std::strcmp(on, "FORMAT_2") == 0 ? 2 : 0;
            if (format == 0) return refuse(format_sp_, "Image format: FORMAT_1 or FORMAT_2.");
            run_board_request(
                format_sp_,
                [format](kx29::Channel& ch, const kx29::StopFn& stop) {
                    kx29::reload_channel(ch, format, kBoardRequestTimeout, stop);
                },
                true);
            return true;
        }
        if (ccd_sp_.isNameMatch(name)) {
            if (on == nullptr || !ccd_sp_.update(states, names, n)) return refuse(ccd_sp_, "CCD correction: CCD_ON or CCD_OFF.");
            ccd_correction_ = ccd_sp_[0].getState() == ISS_ON;
            ccd_sp_.setState(IPS_OK);
            ccd_sp_.apply();
            return true;
        }
        if (show_sp_.isNameMatch(name)) {
            if (on == nullptr) return true;  // releasing the button asks for nothing
            run_board_request(
                show_sp_,
                [](kx29::Channel& ch, const kx29::StopFn& stop) { kx29::show_image(ch, kBoardRequestTimeout, stop); },
                false);
            return true;
        }
        if (reload_sp_.isNameMatch(name)) {
            if (on == nullptr) return true;
            run_board_request(
                reload_sp_,
                [](kx29::Channel& ch, const kx29::StopFn& stop) {
                    kx29::reload_channel(ch, std::nullopt, kBoardRequestTimeout, stop);
                },
                true);
            return true;
        }
    }
    return CCD::ISNewSwitch(dev, name, states, names, n);
}

bool ChannelCcd::saveConfigItems(FILE* fp) {
    CCD::saveConfigItems(fp);
    pixel_size_np_.save(fp);
    ccd_sp_.save(fp);
    return true;
}

}  // namespace kx29indi
