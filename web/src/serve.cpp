// kx29ctl serve: the web console's HTTP server, its routes and its life from start to Ctrl-C.
#include "kx29web/serve.h"

#include "access.h"
#include "acquisitions.h"
#include "events.h"
#include "live.h"
#include "page_assets.h"
#include "request_body.h"

#include "kx29/control.h"
#include "kx29/image_file.h"
#include "kx29/status.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <pthread.h>

namespace kx29web {

namespace {

using nlohmann::json;

constexpr int kMaxStreams = 8;            // live event streams open at once
constexpr int kWorkerThreads = 48;        // streams, browsers' keep-alive connections, and room to spare
constexpr size_t kMaxBodyBytes = 4096;    // every request body the console takes is small
constexpr auto kStreamKeepAlive = std::chrono::seconds(5);
constexpr auto kRequestTimeout = std::chrono::seconds(5);

void reply_json(httplib::Response& res, int status, const json& body) {
    res.status = status;
    res.set_content(body.dump(), "application/json");
}

void reply_error(httplib::Response& res, int status, const std::string& message) {
    reply_json(res, status, {{"error", message}});
}

// The text of an error that httplib found before any route ran.
std::string error_text(int status) {
    switch (status) {
    case 400: return "bad request";
    case 404: return "no such resource";
    case 413: return "request body too large (at most " + std::to_string(kMaxBodyBytes) + " bytes)";
    default: return "HTTP error " + std::to_string(status);
    }
}

// How the client library's failures read over HTTP.
int http_status(const kx29::Error& e) {
    switch (e.kind()) {
    case kx29::ErrorKind::Usage: return 400;
    case kx29::ErrorKind::Environment: return 503;
    case kx29::ErrorKind::Failed: return 409;
    }
    return 500;
}

int channel_of(const httplib::Request& req) {
    int ch = -1;
    try {
        ch = std::stoi(req.matches[1]);
    } catch (const std::exception&) {
    }
    kx29::check_channel(ch);
    return ch;
}

// Runs a route, turning the library's errors into their HTTP statuses.
httplib::Server::Handler guarded(std::function<void(const httplib::Request&, httplib::Response&)> route) {
    return [route = std::move(route)](const httplib::Request& req, httplib::Response& res) {
        try {
            route(req, res);
        } catch (const kx29::Error& e) {
            reply_error(res, http_status(e), e.what());
        } catch (const std::exception& e) {
            reply_error(res, 500, e.what());
        }
    };
}

class Console {
public:
    explicit Console(const ServeOptions& opt) : token_(opt.token), live_(hub_), acquisitions_(hub_) {
        configure();
        add_page_routes();
        add_api_routes();
    }

    void serve(const ListenAddress& addr) {
        int port = addr.port;
        bool bound = port == 0 ? (port = server_.bind_to_any_port(addr.host)) > 0 : server_.bind_to_port(addr.host, port);
        if (!bound)
            throw kx29::Error(kx29::ErrorKind::Environment, "can't listen on " + addr.host + ":" + std::to_string(port));
        live_.start();
        const bool v6 = addr.host.find(':') != std::string::npos;
        std::printf("kx29ctl: serving the console on http://%s%s%s:%d/%s\n", v6 ? "[" : "", addr.host.c_str(),
                    v6 ? "]" : "", port, token_ ? "?token=TOKEN" : "");
        std::fflush(stdout);
        server_.listen_after_bind();
    }

    // Ends every stream and acquisition, then the server; safe from another
    // thread. An acquire request waiting for the daemon's turn ends with them.
    void shut_down() {
        acquisitions_.stop_all();
        hub_.close();
        server_.stop();
    }

    void wind_down() {
        acquisitions_.stop_all();
        live_.stop();
    }

private:
    void configure() {
        server_.new_task_queue = [] { return new httplib::ThreadPool(kWorkerThreads); };
        server_.set_payload_max_length(kMaxBodyBytes);
        server_.set_read_timeout(kRequestTimeout);
        server_.set_write_timeout(kRequestTimeout);
        server_.set_keep_alive_timeout(1);
        server_.set_pre_routing_handler(
            [this](const httplib::Request& req, httplib::Response& res) { return admit(req, res); });
        server_.set_error_handler([](const httplib::Request&, httplib::Response& res) {
            if (res.body.empty()) reply_error(res, res.status, error_text(res.status));
        });
    }

    // Token, Host and body checks made before any route runs.
    httplib::Server::HandlerResponse admit(const httplib::Request& req, httplib::Response& res) {
        using R = httplib::Server::HandlerResponse;
        if (token_) {
            if (!token_matches(*token_, req.get_header_value("Authorization"), req.get_param_value("token"))) {
                res.set_header("WWW-Authenticate", "Bearer");
                reply_error(res, 401, "a valid token is needed (Authorization: Bearer TOKEN, or ?token=TOKEN)");
                return R::Handled;
            }
        } else if (!host_is_loopback(req.get_header_value("Host"))) {
            reply_error(res, 403, "this console answers only to a loopback host name");
            return R::Handled;
        }
        // A JSON body can't be sent by a form of another site, unlike form data.
        if (req.method == "POST" && req.get_header_value("Content-Type").rfind("application/json", 0) != 0) {
            reply_error(res, 415, "POST requests carry a JSON body (Content-Type: application/json)");
            return R::Handled;
        }
        return R::Unhandled;
    }

    void add_page_routes() {
        for (const Asset& a : kAssets) {
            server_.Get(a.path, [&a](const httplib::Request&, httplib::Response& res) {
                res.set_content(reinterpret_cast<const char*>(a.data), a.size, a.type);
                res.set_header("Cache-Control", "no-cache");
            });
        }
    }

    void add_api_routes() {
        server_.Get("/api/status", guarded([](const httplib::Request&, httplib::Response& res) {
            auto seg = kx29::Segment::attach(kx29::Access::ReadOnly);
            res.set_content(kx29::status_json(seg), "application/json");
        }));
        server_.Get("/api/events", [this](const httplib::Request&, httplib::Response& res) { stream_events(res); });
        server_.Get(R"(/api/channels/(-?\d{1,9})/live\.jpg)", guarded([this](const httplib::Request& req, httplib::Response& res) {
            auto frame = live_.frame(channel_of(req));
            if (!frame) return reply_error(res, 404, "no picture yet");
            res.set_header("Cache-Control", "no-store");
            res.set_header("X-Frame-Id", std::to_string(frame->id));
            res.set_content(frame->jpeg, "image/jpeg");
        }));
        server_.Get(R"(/api/channels/(-?\d{1,9})/image\.(fits|png|pgm|raw))",
                    guarded([](const httplib::Request& req, httplib::Response& res) { send_image(req, res); }));
        server_.Post(R"(/api/channels/(-?\d{1,9})/acquire)", guarded([this](const httplib::Request& req, httplib::Response& res) {
            kx29::AcquireRequest request = parse_acquire_body(req.body, channel_of(req));
            acquisitions_.start(request);
            reply_json(res, 202, {{"channel", request.channel}, {"started", true}});
        }));
        server_.Post(R"(/api/channels/(-?\d{1,9})/abort)", guarded([this](const httplib::Request& req, httplib::Response& res) {
            const int ch = channel_of(req);
            parse_empty_body(req.body);
            // The console's own acquisition is withdrawn by its thread, so that it
            // ends as withdrawn here; anything else on the channel through the record.
            const std::optional<std::string> own = acquisitions_.stop(ch);
            auto seg = kx29::Segment::attach(kx29::Access::ReadWrite);
            kx29::AbortReport r = kx29::abort_channel(seg, ch);
            reply_json(res, 200, {{"channel", ch}, {"was_acquiring", own || r.was_acquiring}, {"idle", r.idle},
                                  {"daemon_alive", r.daemon_alive}, {"summary", own.value_or(r.summary)}});
        }));
        server_.Post(R"(/api/channels/(-?\d{1,9})/show)", guarded([](const httplib::Request& req, httplib::Response& res) {
            const int ch = channel_of(req);
            parse_empty_body(req.body);
            auto seg = kx29::Segment::attach(kx29::Access::ReadWrite);
            seg.require_daemon();
            kx29::Channel channel = seg.channel(ch);
            kx29::show_image(channel, std::chrono::seconds(5));
            reply_json(res, 200, {{"channel", ch}, {"shown", true}});
        }));
        server_.Post(R"(/api/channels/(-?\d{1,9})/window)", guarded([](const httplib::Request& req, httplib::Response& res) {
            const int ch = channel_of(req);
            kx29::WindowRequest wanted = parse_window_body(req.body);
            auto seg = kx29::Segment::attach(kx29::Access::ReadWrite);
            kx29::Channel channel = seg.channel(ch);
            const kx29::ChannelState state = channel.state();
            auto window = kx29::resolve_window(wanted, state, false);
            kx29::check_window_change(ch, state);
            if (window) channel.set_window(*window);
            kx29::Window w = channel.window();
            reply_json(res, 200, {{"channel", ch}, {"window", {w.col0, w.lin0, w.width, w.height}}});
        }));
    }

    // The channel's current image, cropped and headed as kx29ctl save writes it.
    static void send_image(const httplib::Request& req, httplib::Response& res) {
        const int ch = channel_of(req);
        const std::string name = "kx29-ch" + std::to_string(ch) + "." + std::string(req.matches[2]);
        const kx29::FileType type = kx29::require_file_type(name);
        auto seg = kx29::Segment::attach(kx29::Access::ReadOnly);
        kx29::Image img = kx29::make_image(seg.view(ch).capture_image(), kx29::Crop::Window);
        res.set_header("Cache-Control", "no-store");
        res.set_header("Content-Disposition", "attachment; filename=\"" + name + "\"");
        std::string warnings;
        for (const auto& line : kx29::image_warnings(img)) warnings += (warnings.empty() ? "" : "; ") + line;
        if (!warnings.empty()) res.set_header("X-Image-Warnings", warnings);
        res.set_content(kx29::encode_image(type, img), kx29::mime_type(type));
    }

    // Server-Sent Events: first the latest of everything, then every change.
    void stream_events(httplib::Response& res) {
        if (streams_.fetch_add(1) >= kMaxStreams) {
            --streams_;
            return reply_error(res, 503, "too many live streams open (at most " + std::to_string(kMaxStreams) + ")");
        }
        auto cursor = std::make_shared<uint64_t>(0);
        auto started = std::make_shared<bool>(false);
        res.set_header("Cache-Control", "no-store");
        res.set_chunked_content_provider(
            "text/event-stream",
            [this, cursor, started](size_t, httplib::DataSink& sink) {
                std::string text;
                if (!*started) {
                    text = hub_.snapshot(*cursor);
                    *started = true;
                } else {
                    text = hub_.next(*cursor, kStreamKeepAlive);
                }
                if (hub_.closed()) {
                    sink.done();
                    return true;
                }
                if (text.empty()) text = ": still here\n\n";  // finds viewers that left
                return sink.write(text.data(), text.size());
            },
            [this](bool) { --streams_; });
    }

    std::optional<std::string> token_;
    EventHub hub_;
    LiveFeed live_;
    Acquisitions acquisitions_;
    httplib::Server server_;
    std::atomic<int> streams_{0};
};

}  // namespace

int run_serve(const ServeOptions& opt) {
    ListenAddress addr = parse_listen(opt.listen);
    check_exposure_of(addr, opt.token);

    // The termination signals are taken by one thread, which ends the server;
    // every other thread (started below) inherits the blocked mask.
    sigset_t signals;
    sigemptyset(&signals);
    for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&signals, s);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    Console console(opt);
    std::atomic<bool> serving{true};
    std::thread waiter([&] {
        int sig = 0;
        sigwait(&signals, &sig);
        serving = false;
        console.shut_down();
    });
    try {
        console.serve(addr);
    } catch (...) {
        if (serving) pthread_kill(waiter.native_handle(), SIGTERM);
        waiter.join();
        console.wind_down();
        throw;
    }
    if (serving) pthread_kill(waiter.native_handle(), SIGTERM);
    waiter.join();
    console.wind_down();
    std::printf("kx29ctl: console stopped\n");
    return 0;
}

}  // namespace kx29web
