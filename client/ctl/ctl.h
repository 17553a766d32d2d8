// kx29ctl's commands: their options, entry points and the helpers they share.
#pragma once

#include "kx29/acquire.h"
#include "kx29/calib.h"
#include "kx29/control.h"
#include "kx29/image_file.h"
#include "kx29/status.h"

#include <optional>
#include <string>
#include <vector>

namespace kx29ctl {

// Exit statuses.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;  // the request failed
constexpr int kExitUsage = 2;   // usage or environment error
constexpr int kExitNoDaemon = 3;  // status: no daemon runs

struct StatusOptions {
    bool json = false;
};

// How files are written: shared by acquire and save.
struct FileOptions {
    std::vector<std::string> outputs;
    bool png16 = false;
    bool full = false;       // the whole image, not only the window
    bool sum = false;        // FITS: the true sum as int32
    bool mean = false;       // FITS: the mean frame as float32
    std::string type = "light";
    std::vector<std::string> keys;  // NAME=VALUE
    bool overwrite = false;
};

// The checked form of FileOptions.
kx29::WriteOptions write_options(const FileOptions& f);

struct AcquireOptions {
    kx29::AcquireRequest request;
    std::optional<std::string> window;
    bool clear = false;  // accepted for old scripts: every image starts afresh anyway
    FileOptions files;
    std::optional<double> timeout_s;
    // Calibration of each image (FITS outputs): masters, or a directory to choose them from.
    std::optional<std::string> bias, dark, flat, calib_dir;
    bool no_raw = false;  // only the calibrated files
};

struct SaveOptions {
    int channel = 0;
    FileOptions files;
};

struct AbortOptions {
    std::optional<int> channel;
    bool all = false;
    double timeout_s = 5;
};

struct ChannelOptions {
    int channel = 0;
    double timeout_s = 5;
};

struct ReloadOptions {
    int channel = 0;
    std::optional<int> format;
    double timeout_s = 5;
};

struct SetOptions {
    int channel = 0;
    std::optional<std::string> window;
    std::optional<int> format;
    std::optional<int> ref_lev;
    std::optional<double> exposure;
    std::optional<int> bias;
    std::optional<std::string> flat_file;
    std::optional<std::string> profile_master;  // a master bias or dark giving the flat profile
    double timeout_s = 5;
};

struct MasterCommand {
    std::string kind;  // bias, dark, flat
    std::vector<std::string> inputs;
    std::string output;
    std::string method = "median";
    double sigma = 3;
    std::optional<std::string> bias, dark;
    bool overwrite = false;
};

struct WatchOptions {
    std::optional<double> duration_s;
};

struct CheckOptions {
    int channel = 0;
    double timeout_s = 10;
};

int run_status(const StatusOptions& o);
int run_acquire(const AcquireOptions& o);
int run_save(const SaveOptions& o);
int run_abort(const AbortOptions& o);
int run_clear(const ChannelOptions& o);
int run_show(const ChannelOptions& o);
int run_reload(const ReloadOptions& o);
int run_set(const SetOptions& o);
int run_watch(const WatchOptions& o);
int run_check(const CheckOptions& o);
int run_master(const MasterCommand& o);

// SIGINT, SIGTERM, SIGHUP and SIGPIPE set a flag instead of ending the process, so
// that a command can withdraw its request first.
void install_interrupt_handlers();
bool interrupted();

std::chrono::milliseconds to_ms(double seconds);

using kx29::local_time;

}  // namespace kx29ctl
