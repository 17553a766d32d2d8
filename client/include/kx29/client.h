// Client access to the daemon's shared segment: attachment, daemon liveness, typed record fields.
#pragma once

#include "kx29.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace kx29 {

// How a failure is reported by the command-line tool: usage and environment
// errors (bad arguments, no segment, no daemon) are status 2, a request that
// the daemon could not carry out is status 1.
enum class ErrorKind { Usage, Environment, Failed };

class Error : public std::runtime_error {
public:
    Error(ErrorKind kind, const std::string& what) : std::runtime_error(what), kind_(kind) {}
    ErrorKind kind() const { return kind_; }

private:
    ErrorKind kind_;
};

// The daemon's text when a capture yields no frame.
inline constexpr const char* kNoVideoMessage = "Can't read frame, no video!!!";

// Measurement window: first column and line, width and height in pixels.
struct Window {
    int col0 = 0;
    int lin0 = 0;
    int width = 0;
    int height = 0;
    bool operator==(const Window&) const = default;
};

// The scalar fields of one record, each read on its own. The daemon writes
// them without a lock, so two fields are only consistent with each other
// where the protocol orders the writes (see Acquisition).
struct ChannelState {
    int num = 0;
    int tandem = 0;
    double exposure = 0;
    int activ = 0;
    int seqn = 0;
    int tstart = 0;
    int tcurr = 0;
    int command = 0;
    int nexp = 0;
    int nadd = 0;
    int nadded = 0;
    int addlev = 0;
    int next_form = 0;
    int form = 0;
    int ref_lev = 0;
    int img_width = 0;
    int img_height = 0;
    Window window;
    int seqmsg = 0;
    std::string msg;
    int bias = 0;
};

// A copy of a record's image with the state it was taken in.
struct ChannelImage {
    int channel = 0;
    ChannelState state;
    std::vector<int16_t> pixels;  // state.img_width x state.img_height, row-major
};

// Record text (any local process can write a record) as valid UTF-8: each
// byte that does not belong to a well-formed sequence becomes U+FFFD.
std::string valid_text(std::string_view bytes);

// True when the record's image geometry fits the record's capacity.
bool geometry_fits(const ChannelState& s);

// Seconds of light in one frame: the long exposure on a channel with the
// long-exposure camera when it is above 0.041 s (the daemon's threshold),
// otherwise one video frame of 0.04 s.
double frame_exposure(const ChannelState& s);
// Whether every frame is a long exposure of the camera (the same rule).
bool long_exposure(const ChannelState& s);
// The light the camera integrates for a long exposure of `requested_s`: the
// daemon counts the request down one frame period (0.04 s) at a time while
// more than 0.01 s is left, so the camera integrates whole frame periods
// (0.05 s asked gives 0.08 s). The requested value itself below the
// long-exposure threshold.
double commanded_exposure(double requested_s);
// The longest exposure a request may ask for, and a record may hold, in seconds.
inline constexpr double kMaxExposure = 3600.0;
// Why the record cannot describe an image truthfully (an exposure that no
// request sets, a frame count below 0), or nullopt when it can. Any local
// process can write a record.
std::optional<std::string> record_problem(const ChannelState& s);

// Read access to one record.
class ChannelView {
public:
    int number() const { return number_; }

    int num() const;
    int tandem() const;
    double exposure() const;
    int activ() const;
    int seqn() const;
    int tstart() const;
    int tcurr() const;
    int command() const;
    int nexp() const;
    int nadd() const;
    int nadded() const;
    int addlev() const;
    int next_form() const;
    int form() const;
    int ref_lev() const;
    int img_width() const;
    int img_height() const;
    Window window() const;
    int seqmsg() const;
    std::string msg() const;
    int bias() const;
    std::array<int, KX29_MAX_COLS> flat() const;

    ChannelState state() const;
    // The record's image memory itself (KX29_IMAGE_PIXELS values, row-major
    // with stride img_width), valid while the segment is attached; the daemon
    // writes into it while frames arrive.
    std::span<const int16_t> image_memory() const;
    // The image with the state it belongs to, or nullopt when the daemon was
    // writing into it during the copy (a frame or a clear).
    std::optional<ChannelImage> try_capture_image() const;
    // The image at the first moment the daemon is not writing into it, waiting
    // at most `timeout` for one; throws when none comes.
    ChannelImage capture_image(std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;

protected:
    ChannelView(TVchan* rec, int number) : rec_(rec), number_(number) {}
    TVchan* rec_;
    int number_;
    friend class Segment;
};

// Read and write access to one record. Only fields that a client writes have
// setters; the command word changes only through atomic bit operations, so a
// bit set by the daemon or by another client is never wiped.
class Channel : public ChannelView {
public:
    void set_exposure(double seconds);
    void set_nexp(int images);
    void set_nadd(int frames);
    void set_next_form(int format);
    void set_ref_lev(int level);
    void set_window(const Window& w);
    void set_bias(int bias);
    void set_flat(const std::array<int, KX29_MAX_COLS>& flat);
    // The daemon's tallies, changed by a client only on an idle channel whose
    // image it has just cleared, and only from the values it saw (compare and
    // swap): false when the field held another value.
    bool replace_nadded(int expected, int frames);
    bool replace_addlev(int expected, int level);
    // nadd by compare-and-swap, for a request that leaves the record as it found it.
    bool replace_nadd(int expected, int frames);

    int set_command_bits(int bits);    // atomic OR; returns the previous word
    // Compare-and-swap of the whole word; false when it did not hold `expected`.
    bool replace_command(int expected, int word);
    int clear_command_bits(int bits);  // atomic AND-NOT; returns the previous word
    // Sets CMD_CLEAR by compare-and-swap on a word that asks for nothing but
    // CMD_CCD or CMD_SHOW (a clear alone); false when the word held other work.
    bool claim_with_clear();
    // Sets CMD_ACQUIRE (with CMD_CLEAR when `clear`, CMD_CCD as `ccd` says)
    // by compare-and-swap on a word that asks for no acquisition, clear or
    // reload; false when it did.
    bool claim_for_acquisition(bool clear, bool ccd);
    // Takes back a clear alone (CMD_CLEAR without CMD_ACQUIRE) by
    // compare-and-swap; a clear bit that an acquisition has joined stays.
    void withdraw_clear();
    // CMD_RELOAD is compared with the whole word, so it is written only into a
    // word that is 0 (compare-and-swap). False when the word was not 0.
    bool request_reload();

private:
    using ChannelView::ChannelView;
    friend class Segment;
};

enum class Access { ReadOnly, ReadWrite };

struct DaemonStatus {
    int pid = 0;            // the PID word: a daemon's PID, 0 when none ran since its clean end
    bool alive = false;     // pid is a live process with this segment attached
    bool starting = false;  // negative pid of a live daemon (earlier releases marked their start so)
};

// One attachment of the shared segment.
class Segment {
public:
    // Key from KX29_KEY (four printable characters) or "KX29".
    static Segment attach(Access access);
    static Segment attach(const ShmKey& key, Access access);

    Segment(Segment&& other) noexcept;
    Segment& operator=(Segment&& other) noexcept;
    Segment(const Segment&) = delete;
    Segment& operator=(const Segment&) = delete;
    ~Segment();

    const ShmKey& key() const { return key_; }
    bool writable() const { return access_ == Access::ReadWrite; }

    DaemonStatus daemon() const;
    // Throws an environment error naming the cause when no daemon is alive.
    void require_daemon() const;

    ChannelView view(int channel) const;
    Channel channel(int channel);  // throws when attached read-only

private:
    Segment(const ShmKey& key, Access access, int id, unsigned char* base);
    TVchan* record(int channel) const;

    ShmKey key_{};
    int id_ = -1;  // shmid
    Access access_ = Access::ReadOnly;
    unsigned char* base_ = nullptr;
};

// The command word by names: "CLEAR|ACQUIRE|CCD", "RELOAD" for exactly 16, "-" for 0.
std::string command_names(int command);
std::vector<std::string> command_name_list(int command);

// Polls cond every interval until it holds (true) or timeout passes or
// stop() returns true (false).
bool poll_until(const std::function<bool()>& cond, std::chrono::milliseconds timeout,
                const std::function<bool()>& stop = {},
                std::chrono::milliseconds interval = std::chrono::milliseconds(2));

}  // namespace kx29
