// kx29ctl serve: the web console's options and entry point.
#pragma once

#include <optional>
#include <string>

namespace kx29web {

struct ServeOptions {
    std::string listen = "127.0.0.1:8029";  // HOST:PORT
    std::optional<std::string> token;       // required off loopback
};

// Serves the console until SIGINT, SIGTERM or SIGHUP. Throws a usage error for
// an address that can't be used as given (off loopback without a token).
int run_serve(const ServeOptions& opt);

}  // namespace kx29web
