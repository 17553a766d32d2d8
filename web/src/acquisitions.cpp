// Acquisitions started from the console: start, follow, progress events.
#include "acquisitions.h"

#include <nlohmann/json.hpp>

namespace kx29web {

using nlohmann::json;

struct Acquisitions::Run {
    explicit Run(kx29::Segment s) : segment(std::move(s)) {}
    kx29::Segment segment;  // its own attachment: the acquisition holds a reference to it
    std::optional<kx29::Acquisition> acquisition;
    std::atomic<bool> done{false};
    std::jthread thread;
};

namespace {

const char* outcome_name(kx29::Outcome o) {
    switch (o) {
    case kx29::Outcome::Completed: return "completed";
    case kx29::Outcome::Failed: return "failed";
    case kx29::Outcome::Interrupted: return "interrupted";
    case kx29::Outcome::TimedOut: return "timed out";
    case kx29::Outcome::DaemonGone: return "daemon gone";
    case kx29::Outcome::EndedElsewhere: return "ended by another client";
    }
    return "?";
}

json optional_json(const std::optional<double>& v) { return v ? json(*v) : json(nullptr); }

json progress_json(int channel, const kx29::Progress& p) {
    return {{"channel", channel},
            {"running", true},
            {"frames_done", p.frames_done},
            {"frame_in_image", p.frame_in_image},
            {"frames_per_image", p.frames_per_image},
            {"images_done", p.images_done},
            {"images_total", p.images_total},
            {"elapsed_s", p.elapsed_s},
            {"remaining_s", optional_json(p.remaining_s)},
            {"exposure_left_s", optional_json(p.exposure_left_s)},
            {"saturated_frames", p.saturated_frames}};
}

}  // namespace

Acquisitions::Acquisitions(EventHub& hub) : hub_(hub) {}

Acquisitions::~Acquisitions() { stop_all(); }

void Acquisitions::start(const kx29::AcquireRequest& req) {
    kx29::check_channel(req.channel);
    const int ch = req.channel;
    std::lock_guard lock(locks_[ch]);
    if (runs_[ch] && !runs_[ch]->done)
        throw kx29::Error(kx29::ErrorKind::Failed, "channel " + std::to_string(ch) + " is acquiring");
    runs_[ch].reset();  // joins the finished thread

    auto run = std::make_unique<Run>(kx29::Segment::attach(kx29::Access::ReadWrite));
    run->segment.require_daemon();
    run->acquisition.emplace(run->segment, req);  // checks everything before anything is written
    run->acquisition->start();
    const auto& plan = run->acquisition->plan();
    hub_.publish("acquisition",
                 json{{"channel", ch}, {"running", true}, {"frames_done", 0}, {"images_done", 0},
                      {"images_total", plan.request.images}, {"frames_per_image", plan.request.frames},
                      {"long_exposure", plan.long_exposure}}
                     .dump(),
                 kTopicAcquisition0 + ch);
    Run& r = *run;
    run->thread = std::jthread([this, &r](std::stop_token st) { follow(r, st); });
    runs_[ch] = std::move(run);
}

void Acquisitions::follow(Run& run, std::stop_token stop) {
    const int ch = run.acquisition->plan().request.channel;
    kx29::AcquireEvents ev;
    ev.progress = [&](const kx29::Progress& p) {
        hub_.publish("acquisition", progress_json(ch, p).dump(), kTopicAcquisition0 + ch);
    };
    ev.stop_requested = [&] { return stop.stop_requested(); };
    json end = {{"channel", ch}, {"running", false}};
    try {
        kx29::AcquireResult r = run.acquisition->follow(ev, kx29::default_stall_timeout(run.acquisition->plan()));
        end.update({{"outcome", outcome_name(r.outcome)},
                    {"frames_done", r.frames},
                    {"images_done", r.images},
                    {"message", r.message}});
    } catch (const std::exception& e) {
        end.update({{"outcome", "failed"}, {"message", e.what()}});
    }
    hub_.publish("acquisition", end.dump(), kTopicAcquisition0 + ch);
    run.done = true;
}

void Acquisitions::stop_all() {
    for (int ch = 0; ch < 4; ++ch) {
        std::lock_guard lock(locks_[ch]);
        runs_[ch].reset();  // the jthread asks to stop and joins: follow withdraws the request
    }
}

}  // namespace kx29web
