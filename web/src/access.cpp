// The listening address, the token and the Host check of the console.
#include "access.h"

#include "kx29/client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>

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

bool iequals(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

// RFC 6265's cookie-octet: printable ASCII but space, '"', ',', ';' and '\'.
bool cookie_safe(const std::string& s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return c > 0x20 && c < 0x7f && !std::strchr("\",;\\", c); });
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

// Calls visit(name, value) for each "name=value" of a list split by sep.
template <typename Visit>
void each_pair(std::string_view list, char sep, Visit&& visit) {
    while (!list.empty()) {
        const size_t end = std::min(list.find(sep), list.size());
        std::string_view item = list.substr(0, end);
        list.remove_prefix(std::min(end + 1, list.size()));
        const size_t eq = item.find('=');
        if (eq == std::string_view::npos) {
            if (visit(trim(item), std::string_view{}, item)) return;
        } else if (visit(trim(item.substr(0, eq)), trim(item.substr(eq + 1)), item)) {
            return;
        }
    }
}

std::string percent_decoded(std::string_view s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        unsigned v = 0;
        if (s[i] == '%' && i + 2 < s.size() &&
            std::from_chars(s.data() + i + 1, s.data() + i + 3, v, 16).ptr == s.data() + i + 3) {
            out += static_cast<char>(v);
            i += 2;
        } else {
            out += s[i];
        }
    }
    return out;
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

bool is_loopback(std::string_view host) {
    if (iequals(host, "localhost")) return true;
    const std::string text(host);
    unsigned char v4[4];
    in6_addr v6;
    // inet_pton takes only the plain forms: four decimal parts, no leading zeros.
    if (inet_pton(AF_INET, text.c_str(), v4) == 1) return v4[0] == 127;
    return inet_pton(AF_INET6, text.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
}

void check_exposure_of(const ListenAddress& addr, const std::optional<std::string>& token) {
    if (token && token->empty()) usage("--token: the token is empty");
    if (token && !cookie_safe(*token))
        usage("--token: the token may hold printable ASCII only, without spaces, quotes, commas, semicolons or "
              "backslashes");
    if (!is_loopback(addr.host) && !token)
        usage("listening on " + addr.host +
              ", not a loopback address (127.X.Y.Z, ::1 or localhost), opens the console to other machines; give a "
              "token (--token-file PATH, KX29_TOKEN or --token) so that only those who know it can use it");
}

std::string read_token_file(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) usage("--token-file: can't open " + path + ": " + std::strerror(errno));
    struct stat st {};
    std::string text(4096, '\0');
    ssize_t n = -1;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 077) == 0) n = read(fd, text.data(), text.size());
    const int err = errno;
    close(fd);
    if (!S_ISREG(st.st_mode)) usage("--token-file: " + path + " is not a regular file");
    if (st.st_mode & 077) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        usage("--token-file: " + path + " has mode " + mode +
              ": others may read it; make it readable by its owner only (chmod 600)");
    }
    if (n < 0) usage("--token-file: can't read " + path + ": " + std::strerror(err));
    text.resize(static_cast<size_t>(n));
    text = text.substr(0, text.find_first_of("\r\n"));
    if (text.empty()) usage("--token-file: " + path + " holds no token");
    return text;
}

std::optional<std::string> presented_token(std::string_view authorization, std::string_view query,
                                           std::string_view cookies) {
    authorization = trim(authorization);
    if (!authorization.empty()) {
        const size_t space = authorization.find(' ');
        if (space == std::string_view::npos || !iequals(authorization.substr(0, space), "Bearer")) return "";
        return std::string(trim(authorization.substr(space + 1)));
    }
    if (auto t = query_param(query, "token")) return t;
    std::optional<std::string> found;
    each_pair(cookies, ';', [&](std::string_view name, std::string_view value, std::string_view) {
        if (name == kTokenCookie) found = std::string(value);
        return found.has_value();
    });
    return found;
}

bool same_token(std::string_view expected, std::string_view given) {
    unsigned diff = given.size() ^ expected.size();
    for (size_t i = 0; i < expected.size(); ++i)
        diff |= static_cast<unsigned char>(expected[i]) ^ static_cast<unsigned char>(i < given.size() ? given[i] : 0);
    return diff == 0;
}

std::optional<std::string> query_param(std::string_view query, std::string_view name) {
    std::optional<std::string> found;
    each_pair(query, '&', [&](std::string_view n, std::string_view value, std::string_view) {
        if (n == name) found = percent_decoded(value);
        return found.has_value();
    });
    return found;
}

std::string query_without(std::string_view query, std::string_view name) {
    std::string out;
    each_pair(query, '&', [&](std::string_view n, std::string_view, std::string_view item) {
        if (n != name && !item.empty()) out += (out.empty() ? "" : "&") + std::string(item);
        return false;
    });
    return out;
}

bool host_is_loopback(std::string_view header, int port) {
    std::string_view host = header, rest;
    if (header.starts_with('[')) {
        const size_t close = header.find(']');
        if (close == std::string_view::npos) return false;
        host = header.substr(1, close - 1);
        rest = header.substr(close + 1);
    } else if (const size_t colon = header.find(':'); colon != std::string_view::npos) {
        host = header.substr(0, colon);
        rest = header.substr(colon);
    }
    if (!rest.empty() && rest != ":" + std::to_string(port)) return false;
    // Only the bracketed form may name an IPv6 address.
    return is_loopback(host) && (header.starts_with('[') == (host.find(':') != std::string_view::npos));
}

}  // namespace kx29web
