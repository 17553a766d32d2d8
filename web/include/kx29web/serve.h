// kx29ctl serve: the web console's options and entry point.
#pragma once

#include <optional>
#include <string>

namespace kx29web {

struct ServeOptions {
    std::string listen = "127.0.0.1:8029";  // HOST:PORT
    // Required off loopback: from --token-file, else --token (which other users
    // can read in the process list), else the environment's KX29_TOKEN.
    std::optional<std::string> token;
    std::optional<std::string> token_file;
    // Where the page may save series (--save-dir): files go there and nowhere
    // else; without it the page saves nothing.
    std::optional<std::string> save_dir;
};

// Serves the console until SIGINT, SIGTERM or SIGHUP. Throws a usage error for
// an address that can't be used as given (off loopback without a token) or a
// token file that others may read.
int run_serve(const ServeOptions& opt);

}  // namespace kx29web
