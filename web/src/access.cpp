// The listening address, the token check and the Host check of the console.
#include "access.h"

#include "kx29/client.h"

#include <charconv>

namespace kx29web {

namespace {

[[noreturn]] void usage(const std::string& why) { throw kx29::Error(kx29::ErrorKind::Usage, why); }

// The host part of "HOST", "HOST:PORT", "[V6]" or "[V6]:PORT".
std::string host_part(const std::string& text) {
    if (!text.empty() && text.front() == '[') {
        auto close = text.find(']');
        return close == std::string::npos ? text : text.substr(1, close - 1);
    }
    return text.substr(0, text.rfind(':'));
}

}  // namespace

ListenAddress parse_listen(const std::string& text) {
    auto colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == text.size())
        usage("--listen: expected HOST:PORT, got \"" + text + "\"");
    ListenAddress addr{host_part(text), 0};
    const char* first = text.data() + colon + 1;
    const char* last = text.data() + text.size();
    auto [end, ec] = std::from_chars(first, last, addr.port);
    if (ec != std::errc() || end != last || addr.port < 0 || addr.port > 65535)
        usage("--listen: bad port in \"" + text + "\"");
    if (addr.host.empty()) usage("--listen: no host in \"" + text + "\"");
    return addr;
}

bool is_loopback(const std::string& host) {
    return host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0;
}

void check_exposure_of(const ListenAddress& addr, const std::optional<std::string>& token) {
    if (token && token->empty()) usage("--token: the token is empty");
    if (!is_loopback(addr.host) && !token)
        usage("listening on " + addr.host +
              " opens the console to other machines; give --token TOKEN so that only those who know it can use it");
}

bool token_matches(const std::string& expected, const std::string& bearer_header, const std::string& query_token) {
    const std::string prefix = "Bearer ";
    std::string given = bearer_header.rfind(prefix, 0) == 0 ? bearer_header.substr(prefix.size()) : query_token;
    unsigned diff = given.size() ^ expected.size();
    for (size_t i = 0; i < expected.size(); ++i) diff |= expected[i] ^ (i < given.size() ? given[i] : 0);
    return diff == 0;
}

bool host_is_loopback(const std::string& host_header) { return is_loopback(host_part(host_header)); }

}  // namespace kx29web
