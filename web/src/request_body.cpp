// Checking the JSON bodies of POST requests and turning them into requests of the client library.
#include "request_body.h"

#include <nlohmann/json.hpp>

#include <limits>
#include <set>

namespace kx29web {

namespace {

using nlohmann::json;

[[noreturn]] void reject(const std::string& why) { throw kx29::Error(kx29::ErrorKind::Usage, why); }

json parse_object(const std::string& body, const std::set<std::string>& known) {
    json j = json::parse(body, nullptr, false);
    if (j.is_discarded()) reject("the body is not valid JSON");
    if (!j.is_object()) reject("the body must be a JSON object");
    for (const auto& [name, value] : j.items())
        if (!known.contains(name)) reject("unknown field \"" + name + "\"");
    return j;
}

bool present(const json& j, const char* name) { return j.contains(name) && !j[name].is_null(); }

int integer_field(const json& j, const char* name) {
    const json& v = j[name];
    if (!v.is_number_integer()) reject(std::string("\"") + name + "\" must be an integer");
    const auto min = std::numeric_limits<int>::min(), max = std::numeric_limits<int>::max();
    if (v.is_number_unsigned() ? v.get<unsigned long long>() > static_cast<unsigned long long>(max)
                               : (v.get<long long>() < min || v.get<long long>() > max))
        reject(std::string("\"") + name + "\" is out of range");
    return v.get<int>();
}

bool bool_field(const json& j, const char* name) {
    if (!j[name].is_boolean()) reject(std::string("\"") + name + "\" must be true or false");
    return j[name].get<bool>();
}

kx29::WindowRequest window_value(const json& v) {
    if (v.is_string()) return kx29::parse_window(v.get<std::string>());
    if (!v.is_array() || v.size() != 4) reject("\"window\" must be [X, Y, W, H] or \"full\"");
    json named = {{"X", v[0]}, {"Y", v[1]}, {"W", v[2]}, {"H", v[3]}};
    return {false, {integer_field(named, "X"), integer_field(named, "Y"), integer_field(named, "W"),
                    integer_field(named, "H")}};
}

}  // namespace

kx29::AcquireRequest parse_acquire_body(const std::string& body, int channel) {
    json j = parse_object(body, {"frames", "images", "add", "ccd", "format", "ref_level", "window", "exposure"});
    kx29::AcquireRequest req;
    req.channel = channel;
    if (present(j, "frames")) req.frames = integer_field(j, "frames");
    if (present(j, "images")) req.images = integer_field(j, "images");
    if (present(j, "add")) req.add = bool_field(j, "add");
    if (present(j, "ccd")) req.ccd = bool_field(j, "ccd");
    if (present(j, "format")) req.format = integer_field(j, "format");
    if (present(j, "ref_level")) req.ref_lev = integer_field(j, "ref_level");
    if (present(j, "window")) req.window = window_value(j["window"]);
    if (present(j, "exposure")) {
        if (!j["exposure"].is_number()) reject("\"exposure\" must be a number of seconds");
        req.exposure = j["exposure"].get<double>();
    }
    return req;
}

kx29::WindowRequest parse_window_body(const std::string& body) {
    json j = parse_object(body, {"window"});
    if (!present(j, "window")) reject("\"window\" is missing");
    return window_value(j["window"]);
}

void parse_empty_body(const std::string& body) { parse_object(body.empty() ? "{}" : body, {}); }

}  // namespace kx29web
