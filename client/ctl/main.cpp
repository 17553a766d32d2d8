// kx29ctl's command line: subcommands, their options, and the mapping of errors to exit statuses.
#include "ctl.h"
#include "kx29_version.h"
#include "kx29web/serve.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <functional>
#include <optional>
#include <string>

using namespace kx29ctl;

namespace {

void add_channel(CLI::App* cmd, int& channel) {
    cmd->add_option("-c,--channel", channel, "Channel (video input), 0..3")->required();
}

// The options of the files written by acquire and save.
void add_file_options(CLI::App* cmd, FileOptions& f, bool required) {
    auto* out = cmd->add_option("-o,--output", f.outputs,
                                "File to write (.fits .fit .png .pgm .raw); {n} or {n:03} numbers the images");
    if (required) out->required();
    cmd->add_flag("--overwrite", f.overwrite, "Replace files that exist (else they are an error)");
    cmd->add_flag("--full", f.full, "Write the whole image, not only the measurement window");
    cmd->add_flag("--sum", f.sum, "FITS: the true sum of the frames (pixel + ADDLEV) as 32-bit integers");
    cmd->add_flag("--mean", f.mean, "FITS: the mean frame as 32-bit floats");
    cmd->add_option("--type", f.type, "FITS IMAGETYP: light, dark, flat or bias")->capture_default_str();
    cmd->add_option("--key", f.keys, "FITS keyword NAME=VALUE (repeatable), e.g. --key OBJECT=M42");
    cmd->add_flag("--png16", f.png16, "PNG/PGM: raw values + 32768 in 16 bits instead of an 8-bit stretch");
}

// The first word that is not an option, when it names no subcommand.
std::optional<std::string> unknown_subcommand(const CLI::App& app, int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        std::string word = argv[i];
        if (word.empty() || word[0] == '-') continue;
        for (const auto* sub : app.get_subcommands({})) {
            if (sub->get_name() == word) return std::nullopt;
        }
        return word;
    }
    return std::nullopt;
}

void add_timeout(CLI::App* cmd, double& seconds, const char* what) {
    cmd->add_option("--timeout", seconds, what)->capture_default_str();
}

int guarded(const std::function<int()>& run) {
    try {
        return run();
    } catch (const kx29::Error& e) {
        std::fprintf(stderr, "kx29ctl: %s\n", e.what());
        return e.kind() == kx29::ErrorKind::Failed ? kExitFailed : kExitUsage;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kx29ctl: %s\n", e.what());
        return kExitFailed;
    }
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"kx29ctl: drive the KX29 acquisition daemon through its shared segment."};
    app.require_subcommand(1);
    app.set_version_flag("--version", "kx29ctl " KX29_VERSION);
    app.footer(
        "The segment's key is taken from KX29_KEY (four characters), else \"KX29\".\n"
        "Exit status: 0 success, 1 the request failed, 2 usage or environment error,\n"
        "3 (status) no daemon runs.");

    StatusOptions status;
    auto* status_cmd = app.add_subcommand("status", "Show the daemon and the four channels");
    status_cmd->add_flag("--json", status.json, "Print JSON instead of text");

    AcquireOptions acq;
    auto* acq_cmd = app.add_subcommand("acquire", "Acquire images on a channel, optionally saving each one");
    add_channel(acq_cmd, acq.request.channel);
    acq_cmd->add_option("--frames", acq.request.frames, "Frames summed into each image")->capture_default_str();
    acq_cmd->add_option("--images", acq.request.images, "Images to acquire; negative: until Ctrl-C")
        ->capture_default_str();
    acq_cmd->add_flag("--add", acq.request.add, "Add the frames to the image the channel holds (else a fresh image)");
    acq_cmd->add_flag("--clear", acq.clear, "Start every image afresh (the default; kept for old scripts)");
    acq_cmd->add_flag("--ccd", acq.request.ccd, "Apply the bias/flat correction while reading");
    acq_cmd->add_option("--format", acq.request.format, "Image format to load, 1 or 2");
    acq_cmd->add_option("--ref-lev", acq.request.ref_lev, "Reference (black) level, 0..63");
    acq_cmd->add_option("--window", acq.window,
                        "Measurement window X,Y,W,H (first column, first line, width, height) or 'full'");
    acq_cmd->add_option("--exposure", acq.request.exposure,
                        "Long-exposure time in seconds (channel with the long-exposure camera)");
    add_file_options(acq_cmd, acq.files, false);
    acq_cmd->add_option("--bias", acq.bias, "Master bias to subtract; the calibrated image goes to NAME_cal.fits");
    acq_cmd->add_option("--dark", acq.dark, "Master dark to subtract, scaled by the ratio of exposures");
    acq_cmd->add_option("--flat", acq.flat, "Master flat to divide by");
    acq_cmd->add_option("--calib", acq.calib_dir, "Directory of masters: those matching the image are used")
        ->excludes("--bias", "--dark", "--flat");
    acq_cmd->add_flag("--no-raw", acq.no_raw, "Write only the calibrated FITS files, not the raw ones");
    acq_cmd->add_option("--timeout", acq.timeout_s,
                        "Give up after this many seconds without a frame or message (default: 10 + 2 x exposure)");
    acq_cmd->get_option("--add")->excludes("--clear");

    SaveOptions save;
    auto* save_cmd = app.add_subcommand("save", "Save a channel's current image");
    add_channel(save_cmd, save.channel);
    add_file_options(save_cmd, save.files, true);

    AbortOptions abort;
    auto* abort_cmd = app.add_subcommand("abort", "Withdraw a channel's acquisition, whoever started it, and wait until it stops");
    abort_cmd->add_option("-c,--channel", abort.channel, "Channel, 0..3");
    abort_cmd->add_flag("--all", abort.all, "Every channel");
    add_timeout(abort_cmd, abort.timeout_s, "Seconds to wait for the daemon to stop");

    ChannelOptions clear;
    auto* clear_cmd = app.add_subcommand("clear", "Set a channel's image to 0");
    add_channel(clear_cmd, clear.channel);
    add_timeout(clear_cmd, clear.timeout_s, "Seconds to wait for the daemon");

    ChannelOptions show;
    auto* show_cmd = app.add_subcommand("show", "Show a channel's image on the board's video output");
    add_channel(show_cmd, show.channel);
    add_timeout(show_cmd, show.timeout_s, "Seconds to wait for the daemon");

    ReloadOptions reload;
    auto* reload_cmd = app.add_subcommand("reload", "Reload a channel: FPGA, lookup tables, input, reference level");
    add_channel(reload_cmd, reload.channel);
    reload_cmd->add_option("--format", reload.format, "Format to load, 1 or 2 (default: the channel's next format)");
    add_timeout(reload_cmd, reload.timeout_s, "Seconds to wait for the daemon");

    SetOptions set;
    auto* set_cmd = app.add_subcommand("set", "Change a channel's settings");
    add_channel(set_cmd, set.channel);
    set_cmd->add_option("--window", set.window, "Measurement window X,Y,W,H or 'full'");
    set_cmd->add_option("--format", set.format, "Image format 1 or 2 (loads it at once)");
    set_cmd->add_option("--ref-lev", set.ref_lev, "Reference (black) level, 0..63");
    set_cmd->add_option("--exposure", set.exposure, "Long-exposure time in seconds");
    set_cmd->add_option("--bias", set.bias, "Bias of the CCD correction in grey levels, 0..255");
    set_cmd->add_option("--flat", set.flat_file, "Flat profile: text file of 768 integers, 1/256 grey level");
    set_cmd->add_option("--column-profile-from", set.profile_master,
                        "Flat profile from a master bias or dark: its column offsets, removed while reading")
        ->excludes("--flat");
    add_timeout(set_cmd, set.timeout_s, "Seconds to wait for a format switch");

    MasterCommand master;
    auto* master_cmd =
        app.add_subcommand("master", "Combine a series of FITS files into a master bias, dark or flat");
    master_cmd->add_option("kind", master.kind, "bias, dark or flat")->required();
    master_cmd->add_option("files", master.inputs, "FITS files of the series, written by kx29ctl")->required();
    master_cmd->add_option("-o,--output", master.output, "Master to write (.fits)")->required();
    master_cmd->add_option("--method", master.method, "median or sigma-clip")->capture_default_str();
    master_cmd->add_option("--sigma", master.sigma, "sigma-clip: keep values within this many standard deviations")
        ->capture_default_str();
    master_cmd->add_option("--bias", master.bias, "Master bias subtracted from each dark or flat");
    master_cmd->add_option("--dark", master.dark, "Master dark subtracted from each flat, scaled by exposure");
    master_cmd->add_flag("--overwrite", master.overwrite, "Replace the output if it exists");

    WatchOptions watch;
    auto* watch_cmd = app.add_subcommand("watch", "Print the messages of all channels as they come, until Ctrl-C");
    watch_cmd->add_option("--duration", watch.duration_s, "Stop after this many seconds");

    CheckOptions check;
    auto* check_cmd = app.add_subcommand("check", "Check that the running daemon honours the protocol");
    check_cmd->add_option("-c,--channel", check.channel, "Channel to drive, 0..3")->capture_default_str();
    add_timeout(check_cmd, check.timeout_s, "Seconds to wait for any one step of the daemon");

    // The web console (web/).
    kx29web::ServeOptions serve;
    auto* serve_cmd = app.add_subcommand("serve", "Serve the web console until Ctrl-C (docs/web.md)");
    serve_cmd->add_option("--listen", serve.listen, "HOST:PORT to listen on; off loopback a token is required")
        ->capture_default_str();
    serve_cmd->add_option("--token-file", serve.token_file,
                          "File whose first line is the token every request must carry (mode 0600 or stricter); "
                          "or set KX29_TOKEN");
    serve_cmd->add_option("--token", serve.token,
                          "The token itself; other users can read it in the process list: prefer --token-file");
    serve_cmd->add_option("--save-dir", serve.save_dir,
                          "Directory the page may save series into (only there); without it the page saves nothing");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (auto word = unknown_subcommand(app, argc, argv)) {
            std::fprintf(stderr, "kx29ctl: unknown command '%s' (see kx29ctl --help)\n", word->c_str());
            return kExitUsage;
        }
        return app.exit(e) == 0 ? kExitOk : kExitUsage;
    }

    if (*status_cmd) return guarded([&] { return run_status(status); });
    if (*acq_cmd) return guarded([&] { return run_acquire(acq); });
    if (*save_cmd) return guarded([&] { return run_save(save); });
    if (*abort_cmd) return guarded([&] { return run_abort(abort); });
    if (*clear_cmd) return guarded([&] { return run_clear(clear); });
    if (*show_cmd) return guarded([&] { return run_show(show); });
    if (*reload_cmd) return guarded([&] { return run_reload(reload); });
    if (*set_cmd) return guarded([&] { return run_set(set); });
    if (*watch_cmd) return guarded([&] { return run_watch(watch); });
    if (*check_cmd) return guarded([&] { return run_check(check); });
    if (*master_cmd) return guarded([&] { return run_master(master); });
    if (*serve_cmd) return guarded([&] { return kx29web::run_serve(serve); });
    return kExitUsage;
}
