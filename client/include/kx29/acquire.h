// An acquisition on one channel: checking the request, writing it in the protocol's order
// (parameters first, command last) and following it frame by frame to its end.
#pragma once

#include "kx29/image.h"
#include "kx29/settings.h"

#include <array>
#include <chrono>
#include <functional>
#include <optional>
#include <string>

namespace kx29 {

struct AcquireRequest {
    int channel = 0;
    int frames = 1;      // frames per image (nadd), at least 1
    int images = 1;      // images (nexp), not 0; negative: an endless series
    // false: every image starts afresh (its first frame replaces the record's
    // image); true: frames add to whatever the record's image holds.
    bool add = false;
    bool ccd = false;    // bias/flat correction while reading
    std::optional<int> format;
    std::optional<int> ref_lev;
    std::optional<WindowRequest> window;
    std::optional<double> exposure;
    Crop crop = Crop::Window;  // what each finished Image holds
};

// A request checked against the record, and what will be written for it.
struct AcquirePlan {
    AcquireRequest request;
    std::optional<Window> window;  // nullopt: the record's window stays, or the daemon resets it
    bool format_changing = false;
    bool long_exposure = false;    // every frame is a long exposure of the camera
    double frame_exposure = 0.04;  // seconds of light per frame
};

// Throws a usage error naming the first bad parameter; writes nothing.
AcquirePlan plan_acquisition(const AcquireRequest& req, const ChannelState& s);

struct Progress {
    int frames_done = 0;       // frames read since the request was written
    int frame_in_image = 0;    // frames of the image under way
    int frames_per_image = 0;
    int images_done = 0;
    int images_total = 0;      // negative: endless
    int nadded = 0;
    double elapsed_s = 0;
    std::optional<double> remaining_s;      // none for an endless series
    std::optional<double> exposure_left_s;  // long exposure under way
    double frame_exposure_s = 0.04;         // seconds of light per frame
    std::string message;     // the channel's own last message
    int frame_max = -1;      // maximum of the last frame read, -1 before the first
    int saturated_frames = 0;  // frames whose maximum reached 255
    // Set once the first frames of an image show that its sum will reach the
    // 16-bit limits of the record before its last frame: after about this
    // many frames. See clip_forecast_text.
    std::optional<int> clip_expected_after;
    bool new_frame = false;
    bool new_message = false;
    // The image the counts describe, from 1: the one under way, or at a
    // boundary the one just finished ("image 1/3" during the first).
    int image_number() const;
};

// What became of a request. Only Completed is success: every image was
// delivered (or missed and said so) with exactly its frames. An image cut
// short by any other outcome is never delivered.
enum class Outcome {
    Completed,       // all images acquired
    Failed,          // the daemon gave up (no video), or an image held frames not of this request
    Interrupted,     // withdrawn here (stop requested)
    TimedOut,        // no sign of life from the daemon for too long; withdrawn here
    DaemonGone,      // the daemon ended meanwhile
    EndedElsewhere,  // withdrawn by another client
};

struct AcquireResult {
    Outcome outcome = Outcome::Completed;
    int frames = 0;          // frames read for this request
    int images = 0;          // images finished with all their frames
    int partial_frames = 0;  // frames of the image left unfinished (not delivered)
    std::string message;
};

// "completed", "failed", "withdrawn here", "timed out", "daemon gone", "withdrawn by another client".
const char* outcome_text(Outcome o);
// "channel 0: completed after 10 frames, 1 images[, 1 saturated]": the line
// every front-end gives at the end of an acquisition.
// Images with clipped sums are counted like saturated ones.
std::string acquisition_summary(int channel, const AcquireResult& r, int saturated_images, int clipped_images = 0);

// The time a frame takes at the board's pace before any was measured: its
// light, the capture around it and the readout of the window (about 1.2 us
// per pixel position the readout passes).
double expected_frame_interval(const AcquirePlan& plan, const Window& w);

// Foresees from an image's frame reports ("Frame<n>(Get1 SubLev=0): Min=.. Max=..",
// then "AddK") when its sum reaches the record's 16-bit limits: the first
// frame is stored whole, every later one less its sub-level, so the brightest
// pixel gains about Max - sub-level per frame and the darkest Min - sub-level.
class ClipForecast {
public:
    void report(const std::string& msg);
    // Frames after which the sum is expected to clip; nullopt before two
    // reports of the image, or when it never will.
    std::optional<int> frames_to_clip() const;

private:
    int first_min_ = 0, first_max_ = 0;
    bool have_first_ = false;
    int last_index_ = 0;   // frame of the image in the last report (AddK: K)
    long sublev_ = 0;      // SubLev of the last report
    long sum_min_ = 0, sum_max_ = 0;
    int later_ = 0;        // reports of frames after the first
};

// "images of 600 frames are likely to clip: the brightest pixels reach the 16-bit
// limit after about 208 frames" (empty without a forecast).
std::string clip_forecast_text(const Progress& p);

struct AcquireEvents {
    std::function<void(const Progress&)> progress;
    // A finished image, copied before the next image can overwrite it.
    std::function<void(int image, const Image&)> image_done;
    // A finished image that the next image began to overwrite before it could
    // be copied whole.
    std::function<void(int image)> image_missed;
    std::function<bool()> stop_requested;
};

class Acquisition {
public:
    // Checks the request against the record (throws); writes nothing.
    Acquisition(Segment& segment, const AcquireRequest& req);

    const AcquirePlan& plan() const { return plan_; }

    // Writes the request. Throws a failure when the channel is busy with
    // another client's acquisition, or an environment error without daemon.
    // A request whose images start afresh first has the daemon clear the
    // image (see start() in acquire.cpp), which waits for the daemon's turn
    // on the channel: while the daemon shows life, and at most stall_timeout
    // without any; stop() returning true ends the wait (a failure, with the
    // request withdrawn).
    void start(std::chrono::milliseconds stall_timeout = std::chrono::seconds(10),
               const std::function<bool()>& stop = {});

    // Follows the request to its end. A stop request, a stall longer than
    // stall_timeout (no counter or message of any channel moved) or a
    // vanished daemon withdraw the request (stop()); after a withdrawal it
    // returns once the daemon can no longer finish a frame of it (see
    // wait_until_settled), so that the result counts every frame.
    AcquireResult follow(const AcquireEvents& events, std::chrono::milliseconds stall_timeout);

    // Withdraws the request (see withdraw()).
    void stop();

private:
    void leave_light_unknown();

    Segment& segment_;
    Channel channel_;
    AcquirePlan plan_;
    int seqn0_ = 0;
    int seqmsg0_ = 0;
    Window window0_;  // the window as the request left it
    // The request switches the format: the daemon's switch resets the window
    // to the new format's whole image, which then is the request's own.
    bool window_follows_switch_ = false;
    // Frames added to an image whose light is not known (a long exposure cut
    // short): the sum's light stays unknown, and the record is left saying so.
    bool light_unknown_ = false;
    bool mixed_correction_ = false;
    std::chrono::steady_clock::time_point started_;
};

// Withdraws whatever acquisition the channel has, whoever asked for it: nexp
// and nadd 0 (the gate closes; with both 0 a long exposure may have been cut
// short),
// then CMD_ACQUIRE, CMD_CLEAR and CMD_CCD cleared atomically, so that no
// clear is left behind and a long exposure under way ends at its next step.
void withdraw(Channel& ch);

struct AbortReport {
    int channel = 0;
    bool daemon_alive = false;
    bool was_acquiring = false;  // an acquisition was withdrawn
    int images_left = 0;         // nexp found (negative: an endless series)
    int frames_per_image = 0;    // nadd found
    bool long_exposure = false;  // the channel acquires long exposures
    bool idle = true;            // the daemon was seen to finish its last frame
    std::string summary;         // one line for people
};

// The longest the daemon can take, at the board's pace, to finish a frame of
// the channel that it had begun before a withdrawal: from the channel's
// window and exposure, with a margin for a slow PC.
std::chrono::milliseconds settle_time(const ChannelState& s);

// After a withdrawal: waits until no frame of the channel can still be under
// way, so that the image no longer changes: the frame the daemon had begun
// was counted, the daemon was seen at work on another channel (it serves one
// channel at a time), or the channel's counters stood still for settle_time
// (false: timeout came first).
bool wait_until_settled(const Segment& seg, int channel, std::chrono::milliseconds timeout);

// Withdraws the channel's acquisition, then waits (at most timeout) until the
// daemon has finished the frame under way, so the image no longer changes.
// Works without a daemon too (the record is simply left idle).
AbortReport abort_channel(Segment& seg, int channel,
                          std::chrono::milliseconds timeout = std::chrono::seconds(5));

// The seconds left in a "Tandem Exposure: %.1f" message, if it is one.
std::optional<double> parse_exposure_countdown(const std::string& msg);

// How long the daemon may show no sign of life at all (no counter or message
// of any channel moving) during a request: a few seconds beyond one frame.
// Another channel's long exposure posts its countdown every second, which
// counts as life.
std::chrono::milliseconds default_stall_timeout(const AcquirePlan& plan);

// The sign of life of the whole daemon: every channel's frame and message
// counters.
using LifeSignature = std::array<std::pair<int, int>, KX29_CHANNELS>;
LifeSignature life_signature(const Segment& seg);

}  // namespace kx29
