// Acquisitions started from the console: start, follow, progress events.
#include "acquisitions.h"

#include <nlohmann/json.hpp>

namespace kx29web {

using nlohmann::json;

struct Acquisitions::Run {
    explicit Run(kx29::Segment s) : segment(std::move(s)) {}
    kx29::Segment segment;  // its own attachment: the acquisition holds a reference to it
    std::optional<kx29::Acquisition> acquisition;
    std::string summary;  // the line of its end (or why it did not start), set before done
    std::atomic<bool> done{false};
    std::jthread thread;
};

namespace {

constexpr auto kClockReportInterval = std::chrono::milliseconds(500);

json optional_json(const std::optional<double>& v) { return v ? json(*v) : json(nullptr); }

json progress_json(int channel, const kx29::Progress& p) {
    return {{"channel", channel},
            {"running", true},
            {"frames_done", p.frames_done},
            {"frame_in_image", p.frame_in_image},
            {"frames_per_image", p.frames_per_image},
            {"images_done", p.images_done},
            {"image_number", p.image_number()},
            {"images_total", p.images_total},
            {"warning", p.clip_expected_after ? json(kx29::clip_forecast_text(p)) : json(nullptr)},
            {"elapsed_s", p.elapsed_s},
            {"remaining_s", optional_json(p.remaining_s)},
            {"exposure_left_s", optional_json(p.exposure_left_s)},
            {"saturated_frames", p.saturated_frames}};
}

}  // namespace

Acquisitions::Acquisitions(EventHub& hub) : hub_(hub) {}

Acquisitions::~Acquisitions() { stop_all(); }

void Acquisitions::start(const kx29::AcquireRequest& req, std::optional<SavePlan> save) {
    kx29::check_channel(req.channel);
    const int ch = req.channel;
    std::future<void> taken;
    {
        std::lock_guard lock(locks_[ch]);
        if (closed_) throw kx29::Error(kx29::ErrorKind::Failed, "the console is stopping");
        if (runs_[ch] && !runs_[ch]->done)
            throw kx29::Error(kx29::ErrorKind::Failed, "channel " + std::to_string(ch) + " is acquiring");
        runs_[ch].reset();  // joins the finished thread

        auto run = std::make_unique<Run>(kx29::Segment::attach(kx29::Access::ReadWrite));
        run->segment.require_daemon();
        run->acquisition.emplace(run->segment, req);  // checks everything before anything is written
        std::promise<void> started;
        taken = started.get_future();
        Run& r = *run;
        run->thread = std::jthread(
            [this, &r, started = std::move(started), save = std::move(save)](std::stop_token st) mutable {
                carry_out(r, std::move(started), st, std::move(save));
            });
        runs_[ch] = std::move(run);
    }
    // The daemon may take the request only after another channel's long
    // exposure; the channel's lock is free meanwhile, so that an abort or the
    // console's end can stop the wait.
    taken.get();
}

void Acquisitions::carry_out(Run& run, std::promise<void> taken, std::stop_token stop, std::optional<SavePlan> save) {
    kx29::Acquisition& acq = *run.acquisition;
    const kx29::AcquirePlan& plan = acq.plan();
    const int ch = plan.request.channel;
    const auto stall = kx29::default_stall_timeout(plan);
    kx29::AcquireEvents ev;
    std::optional<std::string> save_error;
    std::vector<std::string> saved;  // the files written, by name
    ev.stop_requested = [&] { return stop.stop_requested() || save_error.has_value(); };
    if (save) {
        ev.image_done = [&](int n, const kx29::Image& img) {
            for (const auto& path : save->names.paths(n)) {
                try {
                    kx29::save_image(path, img, save->write);
                    saved.push_back(path.substr(path.rfind('/') + 1));
                } catch (const kx29::Error& e) {
                    save_error = e.what();
                }
            }
        };
        ev.image_missed = [&](int n) {
            save_error = "image " + std::to_string(n) + " was overwritten by the next image before it could be saved";
        };
    }
    try {
        acq.start(stall, ev.stop_requested);
    } catch (const std::exception& e) {
        run.summary = e.what();
        run.done = true;  // nothing left in the record: the channel is free for the next request
        taken.set_exception(std::current_exception());
        return;
    }
    hub_.publish("acquisition",
                 json{{"channel", ch}, {"running", true}, {"frames_done", 0}, {"images_done", 0},
                      {"images_total", plan.request.images}, {"frames_per_image", plan.request.frames},
                      {"long_exposure", plan.long_exposure}}
                     .dump(),
                 kTopicAcquisition0 + ch);
    taken.set_value();

    // Every frame and message goes out at once; between them the clock's
    // reports only move the time shown, which the page needs twice a second.
    std::chrono::steady_clock::time_point last_sent{};
    ev.progress = [&](const kx29::Progress& p) {
        const auto now = std::chrono::steady_clock::now();
        if (!p.new_frame && !p.new_message && now - last_sent < kClockReportInterval) return;
        last_sent = now;
        hub_.publish("acquisition", progress_json(ch, p).dump(), kTopicAcquisition0 + ch);
    };
    kx29::AcquireResult r;
    try {
        r = acq.follow(ev, stall);
    } catch (const std::exception& e) {
        r = {kx29::Outcome::Failed, 0, 0, 0, e.what()};
    }
    // The warnings of the image the run left in the record, as a saved file would carry them.
    std::vector<std::string> warnings;
    int saturated = 0, clipped = 0;
    if (r.outcome == kx29::Outcome::Completed) {
        try {
            kx29::Image img = kx29::make_image(run.segment.view(ch).capture_image(), kx29::Crop::Window);
            warnings = kx29::image_warnings(img);
            saturated = img.saturated(), clipped = img.clipped > 0;
        } catch (const std::exception&) {
            // the next request already writes into it: nothing to say of it
        }
    }
    run.summary = kx29::acquisition_summary(ch, r, saturated, clipped);
    if (save_error) run.summary = *save_error + "; " + run.summary;
    run.done = true;  // a new run joins this thread before it publishes anything
    hub_.publish("acquisition",
                 json{{"channel", ch},
                      {"running", false},
                      {"outcome", kx29::outcome_text(r.outcome)},
                      {"frames_done", r.frames},
                      {"images_done", r.images},
                      {"partial_frames", r.partial_frames},
                      {"message", r.message},
                      {"warnings", warnings},
                      {"saved", saved.size()},
                      {"last_saved", saved.empty() ? json(nullptr) : json(saved.back())},
                      {"summary", run.summary}}
                     .dump(),
                 kTopicAcquisition0 + ch);
}

std::optional<std::string> Acquisitions::stop(int channel) {
    kx29::check_channel(channel);
    std::lock_guard lock(locks_[channel]);
    std::unique_ptr<Run> run = std::move(runs_[channel]);
    if (!run || run->done) return std::nullopt;
    run->thread.request_stop();  // follow() withdraws the request and waits for the frame under way
    run->thread.join();
    return run->summary;
}

void Acquisitions::stop_all() {
    closed_ = true;
    for (int ch = 0; ch < 4; ++ch) {
        std::lock_guard lock(locks_[ch]);
        runs_[ch].reset();  // the jthread asks to stop and joins: follow withdraws the request
    }
}

}  // namespace kx29web
