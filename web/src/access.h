// Who may use the console: the listening address, the token and the Host header.
#pragma once

#include <optional>
#include <string>

namespace kx29web {

struct ListenAddress {
    std::string host;  // as given, without IPv6 brackets
    int port = 0;      // 0: any free port
};

// "HOST:PORT" or "[V6]:PORT"; a usage error otherwise.
ListenAddress parse_listen(const std::string& text);

// 127.0.0.0/8, ::1 or "localhost".
bool is_loopback(const std::string& host);

// Refuses (usage error) to listen off loopback without a token.
void check_exposure_of(const ListenAddress& addr, const std::optional<std::string>& token);

// The token from "Authorization: Bearer T" or else the "token" query parameter,
// compared in constant time.
bool token_matches(const std::string& expected, const std::string& bearer_header, const std::string& query_token);

// Without a token only pages named by a loopback Host are served, so that a
// web site whose name resolves to 127.0.0.1 cannot reach the console.
bool host_is_loopback(const std::string& host_header);

}  // namespace kx29web
