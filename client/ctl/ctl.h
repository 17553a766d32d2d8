// kx29ctl's commands: their options, entry points and the helpers they share.
#pragma once

#include "kx29/acquire.h"
#include "kx29/image_file.h"

#include <optional>
#include <string>
#include <vector>

namespace kx29ctl {

// Exit statuses.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;  // the request failed
constexpr int kExitUsage = 2;   // usage or environment error

struct StatusOptions {
    bool json = false;
};

struct AcquireOptions {
    kx29::AcquireRequest request;
    std::optional<std::string> window;
    std::vector<std::string> outputs;
    bool png16 = false;
    std::optional<double> timeout_s;
};

struct SaveOptions {
    int channel = 0;
    std::vector<std::string> outputs;
    bool png16 = false;
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
    double timeout_s = 5;
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
int run_clear(const ChannelOptions& o);
int run_show(const ChannelOptions& o);
int run_reload(const ReloadOptions& o);
int run_set(const SetOptions& o);
int run_watch(const WatchOptions& o);
int run_check(const CheckOptions& o);

// SIGINT, SIGTERM and SIGHUP set a flag instead of ending the process, so
// that a command can withdraw its request first.
void install_interrupt_handlers();
bool interrupted();

std::chrono::milliseconds to_ms(double seconds);

// Switches the channel to format (or its next_form) with CMD_RELOAD and waits
// until the daemon has loaded it. The word must be 0 (a leftover CMD_CCD is
// removed first); throws a failure otherwise or on time-out.
void reload_channel(kx29::Channel& ch, std::optional<int> format, std::chrono::milliseconds timeout);

// "2026-03-01 21:04:05 CET" for a time in seconds since the epoch.
std::string local_time(long t);

}  // namespace kx29ctl
