// The console's HTTP/1.1 server: connections, deadlines, limits and event streams on one event loop.
#include "http_server.h"

#include "kx29/client.h"

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <nlohmann/json.hpp>

#include <array>
#include <atomic>
#include <list>
#include <vector>

namespace kx29web {

namespace asio = boost::asio;
namespace beast = boost::beast;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

namespace {

constexpr auto kLinger = std::chrono::seconds(2);   // reading what a closed-on client still sends
constexpr size_t kLingerBytes = 256 * 1024;
constexpr auto kAcceptRetry = std::chrono::milliseconds(100);  // after accept failed (no descriptor left)
constexpr auto kTick = std::chrono::seconds(1);                 // event streams' keep-alive and stalls
constexpr int kListenBacklog = 4096;

// Sent with every answer: the page runs only its own script and style, and no
// other site may frame it (clickjacking) or have it sniffed as another type.
const std::array<std::pair<const char*, const char*>, 4> kSafetyHeaders{{
    {"Content-Security-Policy",
     "default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self'; connect-src 'self'; "
     "object-src 'none'; base-uri 'none'; form-action 'self'; frame-ancestors 'none'"},
    {"X-Frame-Options", "DENY"},
    {"X-Content-Type-Options", "nosniff"},
    {"Referrer-Policy", "no-referrer"},
}};

// An error of the request's text (as opposed to the connection's).
bool is_http_error(const beast::error_code& ec) {
    return ec.category() == make_error_code(http::error::bad_target).category() && ec != http::error::end_of_stream &&
           ec != http::error::partial_message;
}

}  // namespace

Response json_response(int status, std::string body) {
    Response res{static_cast<http::status>(status), 11};
    res.set(http::field::content_type, "application/json");
    res.body() = std::move(body);
    return res;
}

Response error_response(int status, const std::string& message) {
    return json_response(status, nlohmann::json{{"error", message}}.dump());
}

struct HttpServer::Impl {
    Impl(EventHub& h, HttpHandlers hd, HttpLimits l) : hub(h), handlers(std::move(hd)), limits(l) {}

    void accept();
    void flush_streams();
    void tend_streams();

    EventHub& hub;
    HttpHandlers handlers;
    HttpLimits limits;
    // Every open connection (a connection takes itself out as it closes; the
    // loop's handlers own them), and those that are event streams.
    std::list<Connection*> connections;
    std::vector<Connection*> streams;
    std::array<char, 16384> discard;  // what lingering connections read
    std::atomic<bool> flush_posted{false};
    asio::io_context ioc{1};
    tcp::acceptor acceptor{ioc};
    asio::steady_timer retry{ioc};
    asio::steady_timer tick{ioc};
};

// One client's connection. Everything here runs on the loop, but send().
class Connection : public std::enable_shared_from_this<Connection> {
public:
    Connection(HttpServer::Impl& server, tcp::socket socket) : server_(server), stream_(std::move(socket)) {
        entry_ = server_.connections.insert(server_.connections.end(), this);
    }

    void start() { read_request(); }

    // At the cap: a clear answer, and no request read.
    void refuse_at_accept() {
        write(error_response(503, "too many connections open; try again later"), true);
    }

    // The answer to the request read: written, then the next request is read.
    void send(Response res) {
        if (open_ && !streaming_) write(std::move(res), !keep_alive_);
    }

    void start_stream();

    // Sends the events after the cursor unless a write is under way.
    void pull_events() {
        if (!open_ || writing_) return;
        std::string text = server_.hub.after(cursor_);
        if (!text.empty()) write_events(std::move(text));
    }

    // A stream's tick: a keep-alive comment when it has been quiet, the end when its viewer stopped reading.
    void tend(Clock::time_point now) {
        if (writing_ && now - write_started_ > server_.limits.write_deadline) return close();
        if (!writing_ && now - write_started_ >= server_.limits.stream_keep_alive) write_events(": still here\n\n");
    }

    void close() {
        if (!open_) return;
        open_ = false;
        server_.connections.erase(entry_);
        if (streaming_) std::erase(server_.streams, this);
        beast::error_code ec;
        stream_.socket().shutdown(tcp::socket::shutdown_both, ec);
        stream_.close();
    }

    asio::any_io_executor executor() { return stream_.get_executor(); }

private:
    void read_request() {
        parser_.emplace();
        parser_->header_limit(server_.limits.max_header_bytes);
        parser_->body_limit(server_.limits.max_body_bytes);
        stream_.expires_after(server_.limits.request_deadline);
        http::async_read_header(stream_, buffer_, *parser_,
                                [self = shared_from_this()](beast::error_code ec, size_t) { self->on_header(ec); });
    }

    void on_header(beast::error_code ec) {
        if (!open_) return;
        if (ec) return on_read_error(ec);
        const Request& req = parser_->get();
        keep_alive_ = req.keep_alive();
        // A body of another coding than chunked has no end the server could find:
        // the rest would be read as the next request.
        if (req.count(http::field::transfer_encoding) && !parser_->chunked())
            return write(error_response(400, "unsupported Transfer-Encoding"), true);
        std::optional<Response> refusal;
        try {
            refusal = server_.handlers.screen(req);
        } catch (const std::exception& e) {
            refusal = error_response(500, e.what());
        }
        if (refusal) return write(std::move(*refusal), !keep_alive_ || !parser_->is_done());
        if (parser_->is_done()) return dispatch();
        http::async_read(stream_, buffer_, *parser_, [self = shared_from_this()](beast::error_code ec, size_t) {
            if (!self->open_) return;
            if (ec) return self->on_read_error(ec);
            self->dispatch();
        });
    }

    // A request that can't be read to its end: answered when its text is at
    // fault, and the connection closed; silently when the connection is.
    void on_read_error(beast::error_code ec) {
        if (!is_http_error(ec)) return close();
        if (ec == http::error::header_limit)
            return write(error_response(431, "request header too large (at most " +
                                                 std::to_string(server_.limits.max_header_bytes) + " bytes)"),
                         true);
        if (ec == http::error::body_limit)
            return write(error_response(413, "request body too large (at most " +
                                                 std::to_string(server_.limits.max_body_bytes) + " bytes)"),
                         true);
        write(error_response(400, "bad request: " + ec.message()), true);
    }

    void dispatch() {
        stream_.expires_never();
        try {
            server_.handlers.handle(parser_->get(), Reply(shared_from_this()));
        } catch (const std::exception& e) {
            write(error_response(500, e.what()), true);
        }
    }

    // Writes an answer; then reads the next request, or closes the connection
    // after reading for a while what the client may still send, so that the
    // client sees the answer rather than a reset.
    void write(Response res, bool close_after) {
        for (const auto& [name, value] : kSafetyHeaders) res.set(name, value);
        res.keep_alive(!close_after);
        res.prepare_payload();
        auto msg = std::make_shared<Response>(std::move(res));
        stream_.expires_after(server_.limits.write_deadline);
        http::async_write(stream_, *msg, [self = shared_from_this(), msg, close_after](beast::error_code ec, size_t) {
            if (!self->open_) return;
            if (ec) return self->close();
            if (close_after) return self->linger();
            self->read_request();
        });
    }

    void linger() {
        beast::error_code ec;
        stream_.socket().shutdown(tcp::socket::shutdown_send, ec);
        stream_.expires_after(kLinger);
        drain();
    }

    void drain() {
        auto self = shared_from_this();
        stream_.async_read_some(asio::buffer(server_.discard), [self](beast::error_code ec, size_t n) {
            if (!self->open_) return;
            self->drained_ += n;
            if (ec || self->drained_ > kLingerBytes) return self->close();
            self->drain();
        });
    }

    void write_events(std::string text) {
        writing_ = true;
        write_started_ = Clock::now();
        auto out = std::make_shared<std::string>(std::move(text));
        auto self = shared_from_this();
        asio::async_write(stream_.socket(), asio::buffer(*out), [self, out](beast::error_code ec, size_t) {
            if (!self->open_) return;
            self->writing_ = false;
            if (ec) return self->close();
            self->pull_events();
        });
    }

    HttpServer::Impl& server_;
    beast::tcp_stream stream_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    std::list<Connection*>::iterator entry_;
    bool open_ = true;
    bool keep_alive_ = false;
    size_t drained_ = 0;
    // As an event stream:
    bool streaming_ = false;
    bool writing_ = false;
    uint64_t cursor_ = 0;
    Clock::time_point write_started_{};
    char probe_[1]{};

    friend class Reply;
};

void Connection::start_stream() {
    if (!open_ || streaming_) return;
    if (server_.streams.size() >= server_.limits.max_streams)
        return send(error_response(503, "too many live streams open (at most " +
                                            std::to_string(server_.limits.max_streams) + ")"));
    streaming_ = true;
    server_.streams.push_back(this);
    std::string text = "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: no-store\r\n"
                       "Connection: close\r\n";
    for (const auto& [name, value] : kSafetyHeaders) text += std::string(name) + ": " + value + "\r\n";
    text += "\r\n" + server_.hub.snapshot(cursor_);
    // The stream's socket is used directly: its timer would end the watch below.
    stream_.expires_never();
    // A viewer sends nothing more: whatever comes, the end of the connection
    // above all, ends the stream at once and frees its place.
    stream_.socket().async_read_some(asio::buffer(probe_),
                                     [self = shared_from_this()](beast::error_code, size_t) { self->close(); });
    write_events(std::move(text));
}

void Reply::send(Response res) const {
    asio::dispatch(conn_->executor(), [c = conn_, r = std::move(res)]() mutable { c->send(std::move(r)); });
}

void Reply::stream() const { conn_->start_stream(); }

void HttpServer::Impl::accept() {
    acceptor.async_accept([this](beast::error_code ec, tcp::socket socket) {
        if (ec == asio::error::operation_aborted) return;
        if (ec) {
            retry.expires_after(kAcceptRetry);
            retry.async_wait([this](beast::error_code e) {
                if (!e) accept();
            });
            return;
        }
        socket.set_option(tcp::no_delay(true), ec);  // events are small and must not wait
        const bool full = connections.size() >= limits.max_connections;
        auto conn = std::make_shared<Connection>(*this, std::move(socket));
        if (full)
            conn->refuse_at_accept();
        else
            conn->start();
        accept();
    });
}

void HttpServer::Impl::flush_streams() {
    flush_posted = false;
    for (Connection* c : std::vector<Connection*>(streams)) c->pull_events();
}

void HttpServer::Impl::tend_streams() {
    const auto now = Clock::now();
    for (Connection* c : std::vector<Connection*>(streams)) c->tend(now);
    tick.expires_after(kTick);
    tick.async_wait([this](beast::error_code ec) {
        if (!ec) tend_streams();
    });
}

HttpServer::HttpServer(EventHub& hub, HttpHandlers handlers, HttpLimits limits)
    : impl_(std::make_unique<Impl>(hub, std::move(handlers), limits)) {
    hub.on_publish([impl = impl_.get()] {
        if (!impl->flush_posted.exchange(true)) asio::post(impl->ioc, [impl] { impl->flush_streams(); });
    });
}

HttpServer::~HttpServer() { impl_->hub.on_publish(nullptr); }

int HttpServer::listen(const std::string& host, int port) {
    beast::error_code ec;
    tcp::resolver resolver(impl_->ioc);
    auto found =
        resolver.resolve(host, std::to_string(port), tcp::resolver::passive | tcp::resolver::numeric_service, ec);
    tcp::acceptor& a = impl_->acceptor;
    if (!ec && !found.empty()) {
        const tcp::endpoint at = found.begin()->endpoint();
        a.open(at.protocol(), ec);
        if (!ec) a.set_option(tcp::acceptor::reuse_address(true), ec);
        if (!ec) a.bind(at, ec);
        if (!ec) a.listen(kListenBacklog, ec);
    }
    if (ec || found.empty())
        throw kx29::Error(kx29::ErrorKind::Environment,
                          "can't listen on " + host + ":" + std::to_string(port) + (ec ? ": " + ec.message() : ""));
    return a.local_endpoint().port();
}

void HttpServer::run() {
    impl_->accept();
    impl_->tend_streams();
    impl_->ioc.run();
}

void HttpServer::stop() {
    asio::post(impl_->ioc, [impl = impl_.get()] {
        beast::error_code ec;
        impl->acceptor.close(ec);
        for (Connection* c : std::vector<Connection*>(impl->connections.begin(), impl->connections.end())) c->close();
        impl->ioc.stop();
    });
}

}  // namespace kx29web
