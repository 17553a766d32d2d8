// The JSON bodies of the console's POST requests, checked field by field.
#pragma once

#include "kx29/acquire.h"

#include <string>

namespace kx29web {

// {"frames","images","add","ccd","format","ref_level","window","exposure"}, every
// field optional (null counts as absent). Throws a usage error naming the first
// field that is unknown or of the wrong type; the values themselves are checked
// by plan_acquisition, with kx29ctl's messages.
kx29::AcquireRequest parse_acquire_body(const std::string& body, int channel);

// {"window": [X, Y, W, H] | "X,Y,W,H" | "full"}.
kx29::WindowRequest parse_window_body(const std::string& body);

// {} (an empty object): the body of a request that carries no parameters.
void parse_empty_body(const std::string& body);

}  // namespace kx29web
