// Who may use the console: the listening address, the token and the Host header.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kx29web {

struct ListenAddress {
    std::string host;  // as given, without IPv6 brackets
    int port = 0;      // 0: any free port
};

// "HOST:PORT" or "[V6]:PORT"; a usage error otherwise.
ListenAddress parse_listen(const std::string& text);

// A literal loopback address (127.0.0.0/8 as a dotted quad, ::1) or "localhost".
// Names that merely start like one (127.attacker.example) are not.
bool is_loopback(std::string_view host);

// Refuses (usage error) to listen off loopback without a token, and tokens that
// can't travel in a cookie.
void check_exposure_of(const ListenAddress& addr, const std::optional<std::string>& token);

// The token of `--token-file PATH`: its first line. Refused when the file is
// readable or writable by anyone but its owner (mode 0600 or stricter).
std::string read_token_file(const std::string& path);

// The cookie that carries the token once a page was opened with ?token=.
inline constexpr std::string_view kTokenCookie = "kx29_token";

// The credential a request presents, the first found of: the Authorization
// header (scheme Bearer in any case), the "token" query parameter, the cookie.
std::optional<std::string> presented_token(std::string_view authorization, std::string_view query,
                                           std::string_view cookies);

// Compares in a time that does not depend on where the two differ.
bool same_token(std::string_view expected, std::string_view given);

// A query parameter, percent-decoded; nullopt when absent.
std::optional<std::string> query_param(std::string_view query, std::string_view name);

// The query without the parameter `name` ("" when nothing else is left).
std::string query_without(std::string_view query, std::string_view name);

// Without a token only requests whose Host is a literal loopback address or
// localhost, with the console's port or none, are served: a web site whose name
// resolves to 127.0.0.1 cannot reach the console.
bool host_is_loopback(std::string_view host_header, int port);

}  // namespace kx29web
