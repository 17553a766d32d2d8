// kx29ctl serve: the web console's routes, who may use them, and its life from start to Ctrl-C.
#include "kx29web/serve.h"

#include "access.h"
#include "acquisitions.h"
#include "events.h"
#include "http_server.h"
#include "live.h"
#include "page_assets.h"
#include "request_body.h"

#include "kx29/control.h"
#include "kx29/image_file.h"
#include "kx29/status.h"

#include <nlohmann/json.hpp>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <pthread.h>
#include <regex>
#include <thread>
#include <vector>

namespace kx29web {

namespace {

using nlohmann::json;

constexpr size_t kMaxWorkers = 16;       // requests that wait (for the daemon, a frame, an encoder) at once
constexpr size_t kReservedFiles = 64;    // descriptors left for the segment, threads and files beside connections

Response reply_json(int status, const json& body) { return json_response(status, body.dump()); }

// How the client library's failures read over HTTP.
int http_status(const kx29::Error& e) {
    switch (e.kind()) {
    case kx29::ErrorKind::Usage: return 400;
    case kx29::ErrorKind::Environment: return 503;
    case kx29::ErrorKind::Failed: return 409;
    }
    return 500;
}

// Runs a route, turning the library's errors into their HTTP statuses.
Response guarded(const std::function<Response()>& route) {
    try {
        return route();
    } catch (const kx29::Error& e) {
        return error_response(http_status(e), e.what());
    } catch (const std::exception& e) {
        return error_response(500, e.what());
    }
}

int channel_of(const std::string& text) {
    int ch = -1;
    try {
        ch = std::stoi(text);
    } catch (const std::exception&) {
    }
    kx29::check_channel(ch);
    return ch;
}

struct Target {
    std::string_view path, query;
};

Target split_target(std::string_view target) {
    const size_t q = target.find('?');
    return {target.substr(0, q), q == std::string_view::npos ? std::string_view{} : target.substr(q + 1)};
}

[[noreturn]] void refuse(const std::string& why) { throw kx29::Error(kx29::ErrorKind::Usage, why); }

// The directory of --save-dir, as an absolute path without links; a usage error
// when it is not a directory this process may write into.
std::string save_directory(const std::string& given) {
    std::error_code ec;
    const std::filesystem::path dir = std::filesystem::canonical(given, ec);
    if (ec || !std::filesystem::is_directory(dir) || access(dir.c_str(), W_OK | X_OK) != 0)
        refuse("--save-dir " + given + ": not a directory this console can write into");
    return dir.string();
}

// The "save" of an acquire body: {"name": PATTERN, "type": "light" | "dark" |
// "flat" | "bias", "object": TEXT}. The name is a plain file name pattern, so
// the files go into the save directory and nowhere else: no '/', no "..".
SavePlan save_plan(const json& j, const std::optional<std::string>& dir, int images) {
    if (!dir) refuse("this console saves no files (start it with --save-dir DIR)");
    if (!j.is_object()) refuse("\"save\" must be an object");
    for (const auto& [key, value] : j.items())
        if (key != "name" && key != "type" && key != "object") refuse("unknown field \"save." + key + "\"");
    auto text = [&](const char* key) -> std::optional<std::string> {
        if (!j.contains(key) || j[key].is_null()) return std::nullopt;
        if (!j[key].is_string()) refuse(std::string("\"save.") + key + "\" must be text");
        return j[key].get<std::string>();
    };
    const std::string name = text("name").value_or("");
    if (name.empty() || name.size() > 200 || name.find('/') != std::string::npos ||
        name.find("..") != std::string::npos ||
        std::any_of(name.begin(), name.end(), [](unsigned char c) { return c < 0x20 || c == 0x7f; }))
        refuse("\"save.name\" must be a plain file name (no '/', no '..'), such as m42_{n:03}.fits");
    SavePlan plan{kx29::OutputNames({*dir + "/" + name}, images, false), {}};
    if (auto type = text("type")) plan.write.header.type = kx29::parse_image_type(*type);
    if (auto object = text("object"); object && !object->empty()) {
        kx29::HeaderCard card = kx29::parse_user_key("OBJECT=" + *object);  // its checks of the text
        card.value = *object;  // always text, "42" too
        card.comment = "object observed";
        plan.write.header.user.push_back(card);
    }
    plan.write.header.creator = "kx29ctl serve";
    return plan;
}

const Asset* asset_at(std::string_view path) {
    for (const Asset& a : kAssets)
        if (path == a.path) return &a;
    return nullptr;
}

// Threads for the requests that wait (for the daemon, a frame under way, an
// encoder), so that the loop never does: one each, at most kMaxWorkers.
class Workers {
public:
    // False when too many are under way or the console is stopping.
    bool run(std::function<void()> job) {
        std::lock_guard lock(mutex_);
        std::erase_if(threads_, [](const Worker& w) { return w.done->load(); });  // joined
        if (closed_ || threads_.size() >= kMaxWorkers) return false;
        auto done = std::make_shared<std::atomic<bool>>(false);
        threads_.push_back({done, std::jthread([job = std::move(job), done] {
                                job();
                                *done = true;
                            })});
        return true;
    }

    // Refuses further jobs and waits for those under way.
    void close() {
        std::vector<Worker> running;
        {
            std::lock_guard lock(mutex_);
            closed_ = true;
            running.swap(threads_);
        }
    }

private:
    struct Worker {
        std::shared_ptr<std::atomic<bool>> done;
        std::jthread thread;
    };
    std::mutex mutex_;
    bool closed_ = false;
    std::vector<Worker> threads_;
};

class Console {
public:
    Console(std::optional<std::string> token, std::optional<std::string> save_dir, const HttpLimits& limits)
        : token_(std::move(token)),
          save_dir_(std::move(save_dir)),
          server_(hub_,
                  {[this](const Request& req) { return screen(req); },
                   [this](const Request& req, const Reply& reply) { handle(req, reply); }},
                  limits),
          live_(hub_),
          acquisitions_(hub_) {}

    // Listens with the live feed started: the first viewer finds the daemon's state.
    int listen(const ListenAddress& addr) {
        live_.start();
        return port_ = server_.listen(addr.host, addr.port);
    }

    void run() { server_.run(); }

    // Ends every acquisition and waiting request, then the server; safe from
    // another thread. An acquire request waiting for the daemon's turn ends with them.
    void shut_down() {
        acquisitions_.stop_all();
        workers_.close();
        server_.stop();
    }

    void wind_down() {
        acquisitions_.stop_all();
        workers_.close();
        live_.stop();
    }

private:
    // Token, Host and type checks, on the header alone.
    std::optional<Response> screen(const Request& req) const {
        const auto [path, query] = split_target(req.target());
        if (token_) {
            const auto given = presented_token(req[http::field::authorization], query, req[http::field::cookie]);
            if (!given || !same_token(*token_, *given)) {
                Response res = error_response(401, "a valid token is needed: open the page as /?token=TOKEN, "
                                                   "or send Authorization: Bearer TOKEN");
                res.set(http::field::www_authenticate, "Bearer");
                return res;
            }
            // The page opened with ?token= keeps it in a cookie that its script
            // can't read and other sites can't send, and the address bar clean.
            if (req.method() == http::verb::get && asset_at(path) && query_param(query, "token")) {
                Response res{http::status::see_other, 11};
                const std::string rest = query_without(query, "token");
                res.set(http::field::location, std::string(path) + (rest.empty() ? "" : "?" + rest));
                res.set(http::field::set_cookie,
                        std::string(kTokenCookie) + "=" + *token_ + "; Path=/; HttpOnly; SameSite=Strict");
                res.set(http::field::cache_control, "no-store");
                return res;
            }
        } else if (!host_is_loopback(req[http::field::host], port_)) {
            return error_response(403,
                                  "this console answers only to a loopback host name (localhost, 127.0.0.1, [::1])");
        }
        // A JSON body can't be sent by a form of another site, unlike form data.
        if (req.method() == http::verb::post && !req[http::field::content_type].starts_with("application/json"))
            return error_response(415, "POST requests carry a JSON body (Content-Type: application/json)");
        return std::nullopt;
    }

    void handle(const Request& req, const Reply& reply) {
        static const std::regex channel_route(R"(/api/channels/(-?\d{1,9})/([a-z]+)(?:\.([a-z]+))?)");
        const Target target = split_target(req.target());
        const std::string path(target.path);
        const std::string_view query = target.query;
        const bool get = req.method() == http::verb::get, post = req.method() == http::verb::post;
        std::smatch m;
        if (get && asset_at(path)) return reply.send(asset(*asset_at(path)));
        if (get && path == "/api/status") return reply.send(guarded([] {
            auto seg = kx29::Segment::attach(kx29::Access::ReadOnly);
            return json_response(200, kx29::status_json(seg));
        }));
        if (get && path == "/api/events") return reply.stream();
        if (get && path == "/api/console") return reply.send(reply_json(200, {{"save", save_dir_.has_value()}}));
        if (std::regex_match(path, m, channel_route)) {
            const std::string ch = m[1], what = m[2], ext = m[3];
            if (get && what == "live" && ext == "jpg") return live_picture(reply, ch, query);
            if (get && what == "pixel" && ext.empty()) return reply.send(guarded([&] { return pixel(ch, query); }));
            if (get && what == "image" && (ext == "fits" || ext == "png" || ext == "pgm" || ext == "raw"))
                return later(reply, [ch, ext] { return image_file(channel_of(ch), ext); });
            if (post && ext.empty() && (what == "acquire" || what == "abort" || what == "show" || what == "window"))
                return later(reply,
                             [this, ch, what, body = req.body()] { return command(what, channel_of(ch), body); });
        }
        reply.send(error_response(404, "no such resource"));
    }

    // A request that waits runs on a worker, which answers when done.
    void later(const Reply& reply, std::function<Response()> route) {
        if (!workers_.run([reply, route = std::move(route)] { reply.send(guarded(route)); }))
            reply.send(error_response(503, "too many requests under way; try again"));
    }

    static Response asset(const Asset& a) {
        Response res{http::status::ok, 11};
        res.set(http::field::content_type, a.type);
        res.set(http::field::cache_control, "no-cache");
        res.body().assign(reinterpret_cast<const char*>(a.data), a.size);
        return res;
    }

    // The latest live picture, with the viewer's stretch (?stretch=): the automatic
    // one, or another already made, at once; another is encoded on a worker.
    void live_picture(const Reply& reply, const std::string& ch, std::string_view query) {
        std::shared_ptr<const LiveFrame> frame;
        Stretch stretch;
        try {
            stretch = parse_stretch(query_param(query, "stretch"));
            frame = live_.frame(channel_of(ch), true);
        } catch (const kx29::Error& e) {
            return reply.send(error_response(http_status(e), e.what()));
        }
        if (!frame) return reply.send(error_response(404, "no picture yet"));
        auto answer = [frame](std::string jpeg) {
            Response res{http::status::ok, 11};
            res.set(http::field::content_type, "image/jpeg");
            res.set(http::field::cache_control, "no-store");
            res.set("X-Frame-Id", std::to_string(frame->id));
            res.body() = std::move(jpeg);
            return res;
        };
        if (auto jpeg = frame->cached(stretch)) return reply.send(answer(std::move(*jpeg)));
        later(reply, [frame, stretch, answer] { return answer(frame->picture(stretch)); });
    }

    // A pixel of the latest live picture (?x=&y=, in the whole image): the record's
    // value, the true sum of its frames (value + ADDLEV) and their mean.
    Response pixel(const std::string& ch, std::string_view query) const {
        auto frame = live_.frame(channel_of(ch));
        if (!frame) return error_response(404, "no picture yet");
        const kx29::Image& img = frame->image;
        auto coordinate = [&](const char* name, int size) {
            const auto text = query_param(query, name);
            int v = -1;
            if (text && !text->empty() && text->size() < 6 &&
                std::all_of(text->begin(), text->end(), [](char c) { return c >= '0' && c <= '9'; }))
                v = std::stoi(*text);
            if (v < 0 || v >= size)
                refuse(std::string(name) + " must be 0.." + std::to_string(size - 1));
            return v;
        };
        const int x = coordinate("x", img.width()), y = coordinate("y", img.height());
        const int value = img.pixels[static_cast<size_t>(y) * img.width() + x];
        const kx29::Window w = kx29::clamped_window(img.state);
        const int frames = std::max(1, img.state.nadded);
        const long long sum = static_cast<long long>(value) + img.state.addlev;
        return reply_json(200, {{"x", x}, {"y", y}, {"frame_id", frame->id}, {"value", value}, {"sum", sum},
                                {"frames", img.state.nadded}, {"mean", static_cast<double>(sum) / frames},
                                {"in_window", x >= w.col0 && x < w.col0 + w.width && y >= w.lin0 &&
                                                  y < w.lin0 + w.height}});
    }

    // The channel's current image, cropped and headed as kx29ctl save writes it.
    static Response image_file(int ch, const std::string& ext) {
        const std::string name = "kx29-ch" + std::to_string(ch) + "." + ext;
        const kx29::FileType type = kx29::require_file_type(name);
        auto seg = kx29::Segment::attach(kx29::Access::ReadOnly);
        kx29::Image img = kx29::make_image(seg.view(ch).capture_image(), kx29::Crop::Window);
        Response res{http::status::ok, 11};
        res.set(http::field::content_type, kx29::mime_type(type));
        res.set(http::field::cache_control, "no-store");
        res.set(http::field::content_disposition, "attachment; filename=\"" + name + "\"");
        std::string warnings;
        for (const auto& line : kx29::image_warnings(img)) warnings += (warnings.empty() ? "" : "; ") + line;
        if (!warnings.empty()) res.set("X-Image-Warnings", warnings);
        res.body() = kx29::encode_image(type, img);
        return res;
    }

    Response command(const std::string& what, int ch, const std::string& body) {
        if (what == "acquire") {
            // "save" is the console's own; the rest is the request, checked as kx29ctl's.
            json j = json::parse(body, nullptr, false);
            const bool saving = j.is_object() && j.contains("save") && !j["save"].is_null();
            const json save = saving ? j["save"] : json();
            if (j.is_object()) j.erase("save");
            kx29::AcquireRequest request = parse_acquire_body(j.is_object() ? j.dump() : body, ch);
            std::optional<SavePlan> plan;
            if (saving) plan = save_plan(save, save_dir_, request.images);
            acquisitions_.start(request, std::move(plan));
            return reply_json(202, {{"channel", ch}, {"started", true}});
        }
        if (what == "window") {
            kx29::WindowRequest wanted = parse_window_body(body);
            auto seg = kx29::Segment::attach(kx29::Access::ReadWrite);
            kx29::Channel channel = seg.channel(ch);
            const kx29::ChannelState state = channel.state();
            auto window = kx29::resolve_window(wanted, state, false);
            kx29::check_window_change(ch, state);
            if (window) channel.set_window(*window);
            kx29::Window w = channel.window();
            return reply_json(200, {{"channel", ch}, {"window", {w.col0, w.lin0, w.width, w.height}}});
        }
        parse_empty_body(body);
        if (what == "show") {
            auto seg = kx29::Segment::attach(kx29::Access::ReadWrite);
            seg.require_daemon();
            kx29::Channel channel = seg.channel(ch);
            kx29::show_image(channel, std::chrono::seconds(5));
            return reply_json(200, {{"channel", ch}, {"shown", true}});
        }
        // Abort: the console's own acquisition is withdrawn by its thread, so
        // that it ends as withdrawn here; anything else on the channel through the record.
        const std::optional<std::string> own = acquisitions_.stop(ch);
        auto seg = kx29::Segment::attach(kx29::Access::ReadWrite);
        kx29::AbortReport r = kx29::abort_channel(seg, ch);
        return reply_json(200, {{"channel", ch}, {"was_acquiring", own || r.was_acquiring}, {"idle", r.idle},
                                {"daemon_alive", r.daemon_alive}, {"summary", own.value_or(r.summary)}});
    }

    const std::optional<std::string> token_;
    const std::optional<std::string> save_dir_;
    int port_ = 0;
    EventHub hub_;
    HttpServer server_;  // before those that publish: it hears the hub until they are gone
    LiveFeed live_;
    Acquisitions acquisitions_;
    Workers workers_;
};

// --token-file, else --token, else KX29_TOKEN.
std::optional<std::string> token_of(const ServeOptions& opt) {
    if (opt.token && opt.token_file)
        throw kx29::Error(kx29::ErrorKind::Usage, "give --token or --token-file, not both");
    if (opt.token_file) return read_token_file(*opt.token_file);
    if (opt.token) return opt.token;
    if (const char* env = std::getenv("KX29_TOKEN"); env && *env) return std::string(env);
    return std::nullopt;
}

// The soft limit of open files raised to the hard one: every connection holds one.
size_t raise_open_files() {
    rlimit rl{};
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0) return 1024;
    if (rl.rlim_cur < rl.rlim_max) {
        rlimit raised = rl;
        raised.rlim_cur = rl.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0) rl = raised;
    }
    return rl.rlim_cur;
}

}  // namespace

int run_serve(const ServeOptions& opt) {
    ListenAddress addr = parse_listen(opt.listen);
    const std::optional<std::string> token = token_of(opt);
    check_exposure_of(addr, token);
    std::optional<std::string> save_dir;
    if (opt.save_dir) save_dir = save_directory(*opt.save_dir);
    HttpLimits limits;
    const size_t files = raise_open_files();
    limits.max_connections = std::clamp<size_t>(files > kReservedFiles ? files - kReservedFiles : 0, 16,
                                                 limits.max_connections);

    // The termination signals are taken by one thread, which ends the server;
    // every other thread (started below) inherits the blocked mask.
    sigset_t signals;
    sigemptyset(&signals);
    for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&signals, s);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    Console console(token, save_dir, limits);
    const int port = console.listen(addr);
    const bool v6 = addr.host.find(':') != std::string::npos;
    std::printf("kx29ctl: serving the console on http://%s%s%s:%d/%s\n", v6 ? "[" : "", addr.host.c_str(),
                v6 ? "]" : "", port, token ? "?token=TOKEN" : "");
    std::fflush(stdout);

    std::atomic<bool> serving{true};
    std::thread waiter([&] {
        int sig = 0;
        sigwait(&signals, &sig);
        serving = false;
        console.shut_down();
    });
    auto end_waiter = [&] {
        if (serving) pthread_kill(waiter.native_handle(), SIGTERM);
        waiter.join();
        console.wind_down();
    };
    try {
        console.run();
    } catch (...) {
        end_waiter();
        throw;
    }
    end_waiter();
    std::printf("kx29ctl: console stopped\n");
    return 0;
}

}  // namespace kx29web
