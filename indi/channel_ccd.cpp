// The INDI CCD device of one channel: exposures, live video and the board's controls, each
// carried out through the client library on the device's worker thread.
#include "channel_ccd.h"

#include "kx29/control.h"
#include "kx29/image.h"
#include "kx29/settings.h"

#include <algorithm>
#include <array>
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

// The library's keywords that a FITS file from INDI carries besides the base class's own.
constexpr std::array<const char*, 7> kExtraKeywords = {"NCOMBINE", "FRAMEXP", "CHANNEL", "FORMAT",
                                                       "REFLEV",   "CCDCORR", "CCDBIAS"};

kx29::ImageType image_type(INDI::CCDChip::CCD_FRAME t) {
    switch (t) {
    case INDI::CCDChip::BIAS_FRAME: return kx29::ImageType::Bias;
    case INDI::CCDChip::DARK_FRAME: return kx29::ImageType::Dark;
    case INDI::CCDChip::FLAT_FRAME: return kx29::ImageType::Flat;
    default: return kx29::ImageType::Light;
    }
}

std::vector<kx29::HeaderCard> extra_cards(const kx29::Image& img, INDI::CCDChip::CCD_FRAME type) {
    kx29::HeaderOptions opt;
    opt.type = image_type(type);
    opt.form = kx29::PixelForm::Sum;
    opt.creator = "indi_kx29_ccd";
    std::vector<kx29::HeaderCard> picked;
    for (auto& card : kx29::header_cards(img, opt)) {
        if (std::find_if(kExtraKeywords.begin(), kExtraKeywords.end(),
                         [&](const char* k) { return card.name == k; }) != kExtraKeywords.end())
            picked.push_back(std::move(card));
    }
    return picked;
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
                fits_update_key_dbl(fptr, name, v, -card.decimals, comment, status);
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

    addAuxControls();
    return true;
}

bool ChannelCcd::updateProperties() {
    CCD::updateProperties();
    if (isConnected()) {
        define_board_properties();
        refresh_from_record();
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
    daemon_lost_ = false;
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
    if (!isConnected() || !segment_) return;
    const bool alive = segment_->daemon().alive;
    if (!alive && !daemon_lost_) {
        LOGF_ERROR("The KX29 daemon has ended: channel %d cannot acquire until it runs again.", channel_);
    } else if (alive && daemon_lost_) {
        LOG_INFO("The KX29 daemon runs again.");
    }
    daemon_lost_ = !alive;
    timer_id_ = SetTimer(kLivenessPeriodMs);
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
    PrimaryCCD.setExposureDuration(long_exposure ? seconds : req.frames * kVideoFrameSeconds);
    InExposure = true;
    worker_.post([this, s = shot(req)](std::stop_token stop) { run_exposure(s, stop); });
    return true;
}

bool ChannelCcd::AbortExposure() {
    worker_.stop_all();  // the job withdraws its request and waits for the frame under way
    InExposure = false;
    return true;
}

// Why an acquisition ended without an image (every outcome but Completed, and Completed
// when the image could not be copied): the line that goes with its Alert. An abort from
// this device is not reported so: the base class has already set the exposure Idle or the
// stream off.
std::string ChannelCcd::outcome_message(const kx29::AcquireResult& r) const {
    const std::string ch = "channel " + std::to_string(channel_);
    std::string why;
    switch (r.outcome) {
    case kx29::Outcome::Failed:
        why = r.message == kx29::kNoVideoMessage ? "no video on " + ch + " (" + r.message + ")"
                                                 : ch + ": the acquisition failed: " + r.message;
        break;
    case kx29::Outcome::TimedOut: why = ch + ": no sign of work from the daemon; the request was withdrawn"; break;
    case kx29::Outcome::DaemonGone: why = ch + ": the KX29 daemon has ended; reconnect once it runs again"; break;
    case kx29::Outcome::EndedElsewhere: why = ch + ": another client withdrew the acquisition"; break;
    case kx29::Outcome::Interrupted: why = ch + ": the acquisition was aborted here"; break;
    case kx29::Outcome::Completed:
        return ch + ": the image was overwritten by another acquisition before it could be copied";
    }
    if (r.partial_frames > 0) why += " (" + std::to_string(r.partial_frames) + " frames of the image discarded)";
    return why;
}

void ChannelCcd::run_exposure(const Shot& shot, std::stop_token stop) {
    if (stop.stop_requested()) return;
    std::optional<kx29::Image> image;
    kx29::AcquireResult result;
    try {
        kx29::Acquisition acq(*shot.segment, shot.request);
        const auto stall = kx29::default_stall_timeout(acq.plan());
        kx29::AcquireEvents ev;
        ev.stop_requested = [&] { return stop.stop_requested(); };
        acq.start(stall, ev.stop_requested);  // an abort ends the wait for the daemon's turn too
        const bool long_exposure = acq.plan().long_exposure;
        ev.progress = [&](const kx29::Progress& p) {
            if (!p.new_frame && !p.new_message) return;
            // A long exposure follows the daemon's countdown, frames the estimate of the time left.
            const std::optional<double> left = long_exposure ? p.exposure_left_s : p.remaining_s;
            if (!left) return;
            run_on_main([this, stop, left = *left] {
                if (!stop.stop_requested() && PrimaryCCD.isExposing()) PrimaryCCD.setExposureLeft(left);
            });
        };
        ev.image_done = [&](int, const kx29::Image& img) { image = img; };
        result = acq.follow(ev, stall);
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
    if (result.outcome != kx29::Outcome::Completed || !image)
        why = outcome_message(result);
    else if (image->region != shot.request.window->window)
        why = "channel " + std::to_string(channel_) + ": another client changed the window during the exposure";
    if (!why.empty()) {
        run_on_main([this, stop, why] {
            if (!stop.stop_requested()) fail_exposure(why);
        });
        return;
    }
    auto frame = std::make_shared<Frame16>(binned_sum(*image, shot.binx, shot.biny));
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
    {
        std::lock_guard guard(ccdBufferLock);
        PrimaryCCD.setFrameBufferSize(frame.byte_count());
        std::memcpy(PrimaryCCD.getFrameBuffer(), frame.bytes(), frame.byte_count());
        extra_cards_ = extra_cards(img, PrimaryCCD.getFrameType());
    }
    InExposure = false;
    ExposureComplete(&PrimaryCCD);
}

void ChannelCcd::fail_exposure(const std::string& why) {
    InExposure = false;
    LOG_ERROR(why.c_str());
    PrimaryCCD.setExposureFailed();
}

// Called while the base class writes the FITS file, with ccdBufferLock held.
void ChannelCcd::addFITSKeywords(INDI::CCDChip* chip) {
    CCD::addFITSKeywords(chip);
    fitsfile* fptr = *chip->fitsFilePointer();
    for (const auto& card : extra_cards_) {
        int status = 0;
        write_card(fptr, card, &status);
        if (status != 0) LOGF_WARN("FITS keyword %s not written (cfitsio status %d).", card.name.c_str(), status);
    }
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
    if (hor < 1 || hor > kMaxBinning || ver < 1 || ver > kMaxBinning) {
        LOGF_ERROR("Binning %dx%d: each side is 1 to %d.", hor, ver, kMaxBinning);
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
    SetCCDParams(s.img_width, s.img_height, 16, pixel_size_np_[0].getValue(), pixel_size_np_[1].getValue());
    PrimaryCCD.setFrameBufferSize(static_cast<uint32_t>(s.img_width) * s.img_height * sizeof(uint16_t));
    const double longest = tandem_ ? kLongestExposure : kMaxVideoFrames * kVideoFrameSeconds;
    PrimaryCCD.setMinMaxStep("CCD_EXPOSURE", "CCD_EXPOSURE_VALUE", kVideoFrameSeconds, longest, kVideoFrameSeconds);
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
