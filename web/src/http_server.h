// The console's HTTP/1.1 server: one event loop (Boost.Asio and Boost.Beast)
// holds every connection, with deadlines and limits that no client can stretch.
#pragma once

#include "events.h"

#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace kx29web {

namespace http = boost::beast::http;
using Request = http::request<http::string_body>;
using Response = http::response<http::string_body>;

// A JSON answer, and the {"error": ...} of a refusal.
Response json_response(int status, std::string body);
Response error_response(int status, const std::string& message);

struct HttpLimits {
    size_t max_connections = 16384;                     // open at once; more are answered 503 and closed
    size_t max_streams = 8;                             // event streams open at once; more get 503
    uint32_t max_header_bytes = 8192;                   // 431 beyond
    uint64_t max_body_bytes = 4096;                     // 413 beyond, however the body is sent
    std::chrono::seconds request_deadline{10};          // from waiting for a request to having all of it
    std::chrono::seconds write_deadline{30};            // to send one answer or one block of events
    std::chrono::seconds stream_keep_alive{5};          // a comment on a quiet event stream
};

class Connection;

// The way back to the connection of one request: send() once, from any
// thread; or stream(), on the loop, which turns the connection into an event
// stream of the hub (503 when every stream is taken).
class Reply {
public:
    explicit Reply(std::shared_ptr<Connection> c) : conn_(std::move(c)) {}
    void send(Response res) const;
    void stream() const;

private:
    std::shared_ptr<Connection> conn_;
};

struct HttpHandlers {
    // A request's header, before its body is read: a refusal (or a redirect),
    // or nullopt to go on. A refused request's body is never read: its
    // connection is closed after the answer.
    std::function<std::optional<Response>(const Request&)> screen;
    // A whole request, on the loop: answered at once, or handed to another
    // thread that answers later.
    std::function<void(const Request&, const Reply&)> handle;
};

class HttpServer {
public:
    HttpServer(EventHub& hub, HttpHandlers handlers, HttpLimits limits);
    ~HttpServer();

    // Binds and listens; the port bound (the one chosen when port is 0).
    // Throws an environment error.
    int listen(const std::string& host, int port);
    void run();   // the loop, until stop()
    void stop();  // from any thread: closes every connection and ends run()

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace kx29web
