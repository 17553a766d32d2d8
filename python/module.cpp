// The Python module kx29: the board, its channels and their acquisitions over the client
// library, with images as numpy arrays.

#include "kx29/acquire.h"
#include "kx29/calib.h"
#include "kx29/focus.h"
#include "kx29/image.h"
#include "kx29/image_file.h"
#include "kx29/status.h"
#include "kx29_version.h"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <type_traits>
#include <variant>
#include <vector>

namespace py = pybind11;
using namespace py::literals;

namespace {

using SegmentPtr = std::shared_ptr<kx29::Segment>;
constexpr const char* kCreator = "kx29 Python module";

// ---- Exceptions ------------------------------------------------------------------
// kx29.Error and one subclass per ErrorKind; created once, alive as long as the module.
PyObject* g_error = nullptr;
PyObject* g_usage_error = nullptr;
PyObject* g_daemon_error = nullptr;
PyObject* g_failed_error = nullptr;
PyObject* g_image_warning = nullptr;

PyObject* exception_for(kx29::ErrorKind kind) {
    switch (kind) {
    case kx29::ErrorKind::Usage: return g_usage_error;
    case kx29::ErrorKind::Environment: return g_daemon_error;
    case kx29::ErrorKind::Failed: return g_failed_error;
    }
    return g_error;
}

PyObject* new_exception(py::module_& m, const char* name, py::tuple bases, const char* doc) {
    std::string qualified = std::string("kx29.") + name;
    PyObject* type = PyErr_NewExceptionWithDoc(qualified.c_str(), doc, bases.ptr(), nullptr);
    if (!type) throw py::error_already_set();
    m.add_object(name, py::handle(type));
    return type;
}

void register_exceptions(py::module_& m) {
    g_error = new_exception(m, "Error", py::make_tuple(py::handle(PyExc_RuntimeError)),
                            "Any failure of the board, the daemon or a request.");
    g_usage_error = new_exception(m, "UsageError", py::make_tuple(py::handle(g_error), py::handle(PyExc_ValueError)),
                                  "A bad argument or request; nothing was written to the channel.");
    g_daemon_error = new_exception(m, "DaemonError", py::make_tuple(py::handle(g_error)),
                                   "No segment, no daemon running, or no permission to use them.");
    g_failed_error = new_exception(m, "FailedError", py::make_tuple(py::handle(g_error)),
                                   "A request the daemon could not carry out (busy channel, no video, ...).");
    g_image_warning = new_exception(m, "ImageWarning", py::make_tuple(py::handle(PyExc_UserWarning)),
                                    "What an observer should know about an image an acquisition delivered: "
                                    "saturated frames, sums clipped at the 16-bit limits, a forecast of clipping.");
    // Each image's warning matters, not only the first from a line of code, so
    // they are always shown; appended, so the user's own filters come first.
    py::module_::import("warnings").attr("filterwarnings")("always", "category"_a = py::handle(g_image_warning),
                                                           "append"_a = true);
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const kx29::Error& e) {
            PyErr_SetString(exception_for(e.kind()), e.what());
        }
    });
}

// Raises `type` with the message and the images finished before the error.
[[noreturn]] void raise_with_images(PyObject* type, const std::string& message, const py::list& images) {
    py::object exc = py::reinterpret_borrow<py::object>(type)(message);
    exc.attr("images") = images;
    PyErr_SetObject(type, exc.ptr());
    throw py::error_already_set();
}

// ---- Arguments -------------------------------------------------------------------
// Parameters arrive as whatever Python object was passed and are converted by
// name, so that a wrong type is a UsageError naming the parameter, as any other
// bad argument is, rather than pybind11's list of signatures.
[[noreturn]] void usage(const std::string& text) { throw kx29::Error(kx29::ErrorKind::Usage, text); }

[[noreturn]] void wrong_type(const char* name, const char* expected, const py::handle& v) {
    usage(std::string(name) + " must be " + expected + ", not " + py::repr(v).cast<std::string>() + " (" +
          Py_TYPE(v.ptr())->tp_name + ")");
}

template <typename T>
struct is_optional : std::false_type {};
template <typename T>
struct is_optional<std::optional<T>> : std::true_type {};

template <typename T>
T convert(const py::handle& v, const char* name) {
    if constexpr (is_optional<T>::value) {
        if (v.is_none()) return std::nullopt;
        return convert<typename T::value_type>(v, name);
    } else {
        // A flag only from True or False (numpy's too); a number never from a bool.
        py::detail::make_caster<T> c;
        if (std::is_same_v<T, bool> ? c.load(v, false) : !PyBool_Check(v.ptr()) && c.load(v, true))
            return static_cast<T&>(c);
        if constexpr (std::is_same_v<T, bool>) wrong_type(name, "True or False", v);
        if constexpr (std::is_integral_v<T>) {
            if (PyLong_Check(v.ptr()) && !PyBool_Check(v.ptr()))
                usage(std::string(name) + " is out of range: " + py::repr(v).cast<std::string>());
            wrong_type(name, "an integer", v);
        }
        wrong_type(name, std::is_floating_point_v<T> ? "a number" : "a str", v);
    }
}

// A parameter of type T as passed; get() converts it (its type caster below
// takes any object, and names T in the signature).
template <typename T>
struct Arg {
    py::object obj;
    T get(const char* name) const { return convert<T>(obj, name); }
};

// A file name: str, bytes or os.PathLike.
std::string path_arg(const Arg<std::string>& path) {
    try {
        return py::module_::import("os").attr("fspath")(path.obj).cast<std::string>();
    } catch (const py::error_already_set&) {
        wrong_type("path", "a str or os.PathLike", path.obj);
    }
}

}  // namespace

namespace pybind11::detail {
template <typename T>
struct type_caster<Arg<T>> {
    PYBIND11_TYPE_CASTER(Arg<T>, make_caster<T>::name);
    bool load(handle src, bool) {
        value.obj = reinterpret_borrow<object>(src);
        return true;
    }
    static handle cast(const Arg<T>& a, return_value_policy, handle) { return a.obj.inc_ref(); }
};
}  // namespace pybind11::detail

namespace {

// ---- Conversions -----------------------------------------------------------------
py::tuple window_tuple(const kx29::Window& w) { return py::make_tuple(w.col0, w.lin0, w.width, w.height); }

py::dict state_dict(const kx29::ChannelState& s) {
    return py::dict("num"_a = s.num, "tandem"_a = s.tandem, "exposure"_a = s.exposure, "activ"_a = s.activ,
                    "seqn"_a = s.seqn, "tstart"_a = s.tstart, "tcurr"_a = s.tcurr, "command"_a = s.command,
                    "nexp"_a = s.nexp, "nadd"_a = s.nadd, "nadded"_a = s.nadded, "addlev"_a = s.addlev,
                    "next_form"_a = s.next_form, "form"_a = s.form, "ref_lev"_a = s.ref_lev,
                    "img_width"_a = s.img_width, "img_height"_a = s.img_height, "window"_a = window_tuple(s.window),
                    "seqmsg"_a = s.seqmsg, "msg"_a = s.msg, "bias"_a = s.bias);
}

// A (height, width) array that takes over values: no second copy of the pixels.
template <typename T>
py::array_t<T> array_owning(std::vector<T>&& values, int width, int height) {
    auto* owned = new std::vector<T>(std::move(values));
    py::capsule base(owned, [](void* p) { delete static_cast<std::vector<T>*>(p); });
    return py::array_t<T>({height, width}, owned->data(), base);
}

void make_read_only(py::array& a) { a.attr("flags").attr("writeable") = false; }

// "X,Y,W,H", "full", or a sequence of four integers.
kx29::WindowRequest window_request(const py::handle& w) {
    if (py::isinstance<py::str>(w)) return kx29::parse_window(w.cast<std::string>());
    std::vector<int> v;
    py::detail::make_caster<std::vector<int>> c;
    if (c.load(w, true)) v = static_cast<std::vector<int>&>(c);
    if (v.size() != 4) wrong_type("window", "(x, y, width, height), 'X,Y,W,H' or 'full'", w);
    kx29::WindowRequest r;
    r.window = {v[0], v[1], v[2], v[3]};
    return r;
}

// Keywords from {"OBJECT": "M42", "AIRMASS": 1.2}, checked as kx29ctl checks "--key OBJECT=M42".
std::vector<kx29::HeaderCard> user_cards(const py::object& keys) {
    std::vector<kx29::HeaderCard> cards;
    if (keys.is_none()) return cards;
    if (!py::isinstance<py::dict>(keys)) wrong_type("keys", "a dict of FITS keywords", keys);
    for (auto item : keys.cast<py::dict>()) {
        py::handle v = item.second;
        std::string text = py::isinstance<py::bool_>(v) ? (v.cast<bool>() ? "T" : "F") : py::str(v).cast<std::string>();
        cards.push_back(kx29::parse_user_key(py::str(item.first).cast<std::string>() + "=" + text));
    }
    return cards;
}

kx29::PixelForm pixel_form(const std::string& form) {
    if (form == "record") return kx29::PixelForm::Record;
    if (form == "sum") return kx29::PixelForm::Sum;
    if (form == "mean") return kx29::PixelForm::Mean;
    usage("form must be 'record', 'sum' or 'mean', not '" + form + "'");
}

// What save(), to_bytes() and to_hdu() write: the same header options for all three.
struct FileArgs {
    Arg<std::string> form{py::str("record")}, type{py::str("light")};
    py::object keys = py::none();
    Arg<bool> png16{py::bool_(false)};

    kx29::WriteOptions options() const {
        kx29::WriteOptions o;
        o.header.form = pixel_form(form.get("form"));
        o.header.type = kx29::parse_image_type(type.get("type"));
        o.header.creator = kCreator;
        o.header.user = user_cards(keys);
        o.sixteen_bit = png16.get("png16");
        return o;
    }
};

kx29::FileType file_type_named(const std::string& kind) {
    if (auto t = kx29::file_type_for("x." + kind)) return *t;
    usage("unknown file type '" + kind + "' (fits, png, pgm, raw)");
}

py::dict header_dict(const kx29::Image& img) {
    kx29::HeaderOptions opt;
    opt.creator = kCreator;
    py::dict h;
    for (const auto& card : kx29::header_cards(img, opt)) h[py::str(card.name)] = py::cast(card.value);
    return h;
}

// ---- Board and channels ------------------------------------------------------------
// The attachment of the segment, shared with the board's channels: close()
// detaches them all at once. An array of view() and an acquisition under way
// hold the segment themselves, so it stays mapped for them.
struct Board {
    SegmentPtr attached;  // empty once closed
    std::string key;

    SegmentPtr seg() const {
        if (!attached) usage("the board of key " + key + " is closed; attach it again with kx29.Board()");
        return attached;
    }
};
using BoardPtr = std::shared_ptr<Board>;

struct PyChannel {
    BoardPtr board;
    int number = 0;
    SegmentPtr seg() const { return board->seg(); }
};

BoardPtr attach_board(const Arg<std::optional<std::string>>& key_arg) {
    const std::optional<std::string> key = key_arg.get("key");
    SegmentPtr seg;
    if (!key) {
        seg = std::make_shared<kx29::Segment>(kx29::Segment::attach(kx29::Access::ReadWrite));
    } else {
        ShmKey k{};
        if (!kx29_key_from_text(key->c_str(), &k)) usage("the key must be exactly four printable characters");
        seg = std::make_shared<kx29::Segment>(kx29::Segment::attach(k, kx29::Access::ReadWrite));
    }
    return std::make_shared<Board>(Board{seg, seg->key().name});
}

py::array_t<int16_t> channel_image(const PyChannel& ch) {
    SegmentPtr seg = ch.seg();
    kx29::ChannelImage copy;
    {
        py::gil_scoped_release nogil;
        copy = seg->view(ch.number).capture_image();
    }
    return array_owning(std::move(copy.pixels), copy.state.img_width, copy.state.img_height);
}

// The record's image in place, read-only; the array's base holds the segment attached.
py::array channel_view(const PyChannel& ch) {
    SegmentPtr seg = ch.seg();
    kx29::ChannelView v = seg->view(ch.number);
    kx29::ChannelState s = v.state();
    kx29::check_geometry(s);
    auto* owner = new SegmentPtr(seg);
    py::capsule base(owner, [](void* p) { delete static_cast<SegmentPtr*>(p); });
    const ssize_t w = s.img_width, h = s.img_height;
    py::array a(py::dtype::of<int16_t>(), {h, w}, {w * ssize_t(sizeof(short)), ssize_t(sizeof(short))},
                reinterpret_cast<const short*>(v.image_memory().data()), base);
    make_read_only(a);
    return a;
}

py::dict channel_abort(const PyChannel& ch, const Arg<double>& timeout) {
    const double timeout_s = timeout.get("timeout");
    SegmentPtr seg = ch.seg();
    kx29::AbortReport r;
    {
        py::gil_scoped_release nogil;
        r = kx29::abort_channel(*seg, ch.number, std::chrono::milliseconds(std::llround(timeout_s * 1000)));
    }
    return py::dict("channel"_a = r.channel, "daemon_alive"_a = r.daemon_alive, "was_acquiring"_a = r.was_acquiring,
                    "images_left"_a = r.images_left, "frames_per_image"_a = r.frames_per_image,
                    "long_exposure"_a = r.long_exposure, "idle"_a = r.idle, "summary"_a = r.summary);
}

// ---- Acquisition ---------------------------------------------------------------------
// The line kx29ctl prints at the end of an acquisition.
std::string outcome_summary(int channel, const kx29::AcquireResult& r, int saturated_images, int clipped_images) {
    std::string s = kx29::acquisition_summary(channel, r, saturated_images, clipped_images);
    return r.message.empty() ? s : s + ": " + r.message;
}

struct AcquireArgs {
    int frames = 1;
    int images = 1;
    bool add = false;
    bool ccd = false;
    py::object window;
    std::optional<int> format;
    std::optional<int> ref_level;
    std::optional<double> exposure;
    py::object progress;
    std::optional<double> timeout;
};

kx29::AcquireRequest acquire_request(int channel, const AcquireArgs& a) {
    if (a.timeout && !(std::isfinite(*a.timeout) && *a.timeout > 0))
        usage("timeout must be a positive number of seconds");
    if (!a.progress.is_none() && !PyCallable_Check(a.progress.ptr()))
        wrong_type("progress", "callable or None", a.progress);
    kx29::AcquireRequest req;
    req.channel = channel;
    req.frames = a.frames;
    req.images = a.images;
    req.add = a.add;
    req.ccd = a.ccd;
    req.format = a.format;
    req.ref_lev = a.ref_level;
    req.exposure = a.exposure;
    if (!a.window.is_none()) req.window = window_request(a.window);
    return req;
}

// An acquisition followed in a thread of its own, whose progress reports and
// finished images are handed over, in the order they came, to the thread that
// iterates. Python code (the progress callback, the signal check) runs only in
// that thread, and only while it waits for the next image.
class ImageStream {
public:
    // Checks the request (a usage error writes nothing), then writes it.
    ImageStream(const PyChannel& ch, const AcquireArgs& a)
        : seg_(ch.seg()), channel_(ch.number), images_asked_(a.images), progress_(a.progress) {
        kx29::AcquireRequest req = acquire_request(ch.number, a);
        seg_->require_daemon();
        acq_.emplace(*seg_, req);
        stall_ = a.timeout ? std::chrono::milliseconds(std::llround(*a.timeout * 1000))
                           : kx29::default_stall_timeout(acq_->plan());
        worker_ = std::thread([this] { run(); });
    }
    ImageStream(const ImageStream&) = delete;
    ImageStream& operator=(const ImageStream&) = delete;
    ~ImageStream() { close(); }

    // The next finished image; nullopt after the last one of a completed
    // acquisition. Any other end raises (see raise_end).
    std::optional<py::object> next() {
        while (!finished_) {
            if (pending_) return finish();
            std::optional<Event> ev = take_event();
            if (!ev) {
                if (ended()) return finish();
                check_signals();
            } else if (auto* d = std::get_if<Delivered>(&*ev)) {
                return keep(std::move(*d));
            } else {
                report(std::get<kx29::Progress>(*ev));
            }
        }
        return std::nullopt;
    }

    // Withdraws the request if it still runs and waits until the daemon is
    // done with it; images not yet taken are dropped.
    void close() {
        finished_ = true;
        stop_ = true;
        join();
    }

    // Every image handed over so far, in order.
    const py::list& images() const { return images_; }

private:
    struct Delivered {
        int number;  // 1-based in the acquisition
        kx29::Image image;
    };
    using Event = std::variant<kx29::Progress, Delivered>;
    // How often signals (Ctrl-C) are looked at while waiting for an event.
    static constexpr auto kSignalCheckInterval = std::chrono::milliseconds(20);

    // The acquisition thread: touches no Python object.
    void run() {
        kx29::AcquireEvents ev;
        // Without a callback only the first clip forecast is handed over, for its warning.
        ev.progress = [this, all = !progress_.is_none()](const kx29::Progress& p) {
            if (all || (p.clip_expected_after && !forecast_handed_over_.exchange(true))) push(p);
        };
        ev.image_done = [this](int n, const kx29::Image& img) { push(Delivered{n, img}); };
        ev.image_missed = [this](int) { ++missed_; };
        ev.stop_requested = [this] { return stop_.load(); };
        try {
            acq_->start(stall_, ev.stop_requested);
            result_ = acq_->follow(ev, stall_);
        } catch (...) {
            error_ = std::current_exception();
        }
        std::lock_guard lock(mutex_);
        ended_ = true;
        arrived_.notify_all();
    }

    void push(Event e) {
        std::lock_guard lock(mutex_);
        queue_.push_back(std::move(e));
        arrived_.notify_all();
    }

    // The next event, waiting for one at most a signal check's interval with
    // the GIL released.
    std::optional<Event> take_event() {
        py::gil_scoped_release nogil;
        std::unique_lock lock(mutex_);
        arrived_.wait_for(lock, kSignalCheckInterval, [this] { return !queue_.empty() || ended_; });
        if (queue_.empty()) return std::nullopt;
        Event e = std::move(queue_.front());
        queue_.pop_front();
        return e;
    }

    bool ended() {
        std::lock_guard lock(mutex_);
        return ended_ && queue_.empty();
    }

    void join() {
        if (!worker_.joinable()) return;
        py::gil_scoped_release nogil;
        worker_.join();
    }

    py::object keep(Delivered&& d) {
        saturated_ += d.image.saturated();
        clipped_ += d.image.clipped > 0;
        for (const auto& line : kx29::image_warnings(d.image))
            warn(", image " + std::to_string(d.number) + ": " + line);
        py::object obj = py::cast(std::move(d.image));
        images_.append(obj);
        return obj;
    }

    // A Python exception (KeyboardInterrupt, or one of the progress callback)
    // withdraws the request; it is raised once the acquisition has ended.
    // The first one is raised.
    void interrupt(py::error_already_set&& e) {
        if (!pending_) pending_ = std::move(e);
        stop_ = true;
    }

    // A kx29.ImageWarning "channel N<text>" for the code that asked for the
    // images; a warning filter that turns it into an error ends the acquisition.
    void warn(const std::string& text) {
        const std::string message = "channel " + std::to_string(channel_) + text;
        if (PyErr_WarnEx(g_image_warning, message.c_str(), 1) != 0) interrupt(py::error_already_set());
    }

    void report(const kx29::Progress& p) {
        if (p.clip_expected_after && !forecast_warned_) {
            forecast_warned_ = true;
            warn(": " + kx29::clip_forecast_text(p));
        }
        if (progress_.is_none()) return;
        try {
            progress_(p);
        } catch (py::error_already_set& e) {
            interrupt(std::move(e));
        }
    }

    void check_signals() {
        if (PyErr_CheckSignals() != 0) interrupt(py::error_already_set());
    }

    // Waits for the acquisition thread to end, keeps the images still queued
    // (the exception carries them), then raises how it ended, if not completed.
    std::optional<py::object> finish() {
        finished_ = true;
        join();
        for (auto& ev : queue_)
            if (auto* d = std::get_if<Delivered>(&ev)) keep(std::move(*d));
        queue_.clear();
        raise_end();
        return std::nullopt;
    }

    // The one mapping of an acquisition's end to Python. Completed returns;
    // every other end raises an exception whose `images` holds the images
    // finished before it, with the library's text.
    void raise_end() {
        const std::string text = end_text();
        if (pending_) raise_pending(text);
        if (error_) {
            try {
                std::rethrow_exception(error_);
            } catch (const kx29::Error& e) {
                raise_with_images(exception_for(e.kind()), e.what(), images_);
            }
        }
        switch (result_.outcome) {
        case kx29::Outcome::Completed:
            if (missed_ > 0)
                raise_with_images(g_failed_error,
                                  "channel " + std::to_string(channel_) + ": " + std::to_string(missed_) + " of " +
                                      std::to_string(images_asked_) +
                                      " images were overwritten before they could be copied",
                                  images_);
            return;
        case kx29::Outcome::Interrupted: raise_with_images(PyExc_KeyboardInterrupt, text, images_);
        case kx29::Outcome::DaemonGone: raise_with_images(g_daemon_error, text, images_);
        case kx29::Outcome::Failed:
        case kx29::Outcome::TimedOut:
        case kx29::Outcome::EndedElsewhere: raise_with_images(g_failed_error, text, images_);
        }
    }

    // The exception that stopped the acquisition, as it was raised, with the
    // images; a bare KeyboardInterrupt also gets the text of the end.
    [[noreturn]] void raise_pending(const std::string& text) {
        py::object exc = pending_->value();
        if (pending_->matches(PyExc_KeyboardInterrupt) && py::len(exc.attr("args")) == 0)
            exc.attr("args") = py::make_tuple(text);
        if (PyObject_SetAttrString(exc.ptr(), "images", images_.ptr()) != 0) PyErr_Clear();
        throw *pending_;
    }

    std::string end_text() const {
        if (!error_) return outcome_summary(channel_, result_, saturated_, clipped_);
        try {
            std::rethrow_exception(error_);
        } catch (const std::exception& e) {
            return e.what();
        }
    }

    SegmentPtr seg_;
    int channel_;
    int images_asked_;
    py::object progress_;
    std::optional<kx29::Acquisition> acq_;
    std::chrono::milliseconds stall_{};
    std::thread worker_;
    std::atomic<bool> stop_{false};
    std::atomic<int> missed_{0};
    std::atomic<bool> forecast_handed_over_{false};

    std::mutex mutex_;  // guards queue_ and ended_ while the thread runs
    std::condition_variable arrived_;
    std::deque<Event> queue_;
    bool ended_ = false;
    kx29::AcquireResult result_;  // written by the thread before ended_
    std::exception_ptr error_;

    // The iterating thread's own.
    bool finished_ = false;
    py::list images_;
    int saturated_ = 0, clipped_ = 0;
    bool forecast_warned_ = false;
    std::optional<py::error_already_set> pending_;
};

py::object channel_acquire(const PyChannel& ch, const AcquireArgs& a) {
    if (a.images < 0)
        throw kx29::Error(kx29::ErrorKind::Usage, "an endless series (images < 0) has no end to return at: "
                                                  "call acquire_iter");
    ImageStream stream(ch, a);
    while (stream.next()) {
    }
    if (a.images == 1) return stream.images()[0];
    return stream.images();
}

std::unique_ptr<ImageStream> channel_acquire_iter(const PyChannel& ch, const AcquireArgs& a) {
    return std::make_unique<ImageStream>(ch, a);
}

// ---- Images ----------------------------------------------------------------------------
// The pixels in place, read-only; the array's base keeps the Image alive.
py::array image_data(py::object self) {
    const auto& img = self.cast<const kx29::Image&>();
    const ssize_t w = img.width(), h = img.height();
    py::array a(py::dtype::of<int16_t>(), {h, w}, {w * ssize_t(sizeof(int16_t)), ssize_t(sizeof(int16_t))},
                img.pixels.data(), self);
    make_read_only(a);
    return a;
}

py::bytes image_bytes(const kx29::Image& img, kx29::FileType type, const kx29::WriteOptions& o) {
    return py::bytes(kx29::encode_image(type, img, o));
}

// An astropy.io.fits HDU read from the very bytes that save() writes.
py::object image_hdu(const kx29::Image& img, const kx29::WriteOptions& o) {
    auto fits = py::module_::import("astropy.io.fits");
    py::object hdul = fits.attr("HDUList").attr("fromstring")(image_bytes(img, kx29::FileType::Fits, o));
    py::object hdu = hdul[py::int_(0)];
    hdu.attr("data");  // read now: the HDU outlives the bytes it came from
    return hdu;
}

// ---- Calibration -----------------------------------------------------------------------
// Masters and calibrated images: float32 mean-frame pixels with their cards and HISTORY.
struct PyMaster {
    kx29::CalibImage c;
};
struct PyCalibrated {
    kx29::CalibImage c;
};

template <typename T>
py::array calib_data(py::object self) {
    const kx29::CalibImage& c = self.cast<const T&>().c;
    const ssize_t w = c.width, h = c.height;
    py::array a(py::dtype::of<float>(), {h, w}, {w * ssize_t(sizeof(float)), ssize_t(sizeof(float))},
                c.pixels.data(), self);
    make_read_only(a);
    return a;
}

py::dict calib_header(const kx29::CalibImage& c) {
    py::dict h;
    for (const auto& card : c.cards) h[py::str(card.name)] = py::cast(card.value);
    return h;
}

// What both kinds offer: data, header, history, save().
template <typename T>
void def_calib_common(py::class_<T>& cls) {
    cls.def_property_readonly("data", &calib_data<T>, "float32 mean-frame grey levels, [line, column]; NaN: unknown")
        .def_property_readonly(
            "header", [](const T& t) { return calib_header(t.c); }, "The FITS keywords save() writes, in order")
        .def_property_readonly(
            "history", [](const T& t) { return t.c.history; }, "The HISTORY lines: inputs, masters, method")
        .def_property_readonly("path", [](const T& t) { return t.c.path; }, "The file it came from, or ''")
        .def(
            "save",
            [](const T& t, const Arg<std::string>& path, const Arg<bool>& overwrite) {
                const std::string file = path_arg(path);
                const bool replace = overwrite.get("overwrite");
                py::gil_scoped_release nogil;
                kx29::save_calib_image(file, t.c, replace);
            },
            "path"_a, "overwrite"_a = false, "Writes a float32 FITS file, as kx29ctl does.")
        .def(
            "to_bytes", [](const T& t) { return py::bytes(kx29::encode_calib_fits(t.c)); },
            "The FITS bytes save() writes.");
}

// A master given as a Master, a path, or None.
std::optional<kx29::CalibImage> master_arg(const py::object& v, kx29::MasterKind kind, const char* name) {
    if (v.is_none()) return std::nullopt;
    if (py::isinstance<PyMaster>(v)) return v.cast<const PyMaster&>().c;
    if (py::isinstance<py::str>(v) || py::hasattr(v, "__fspath__"))
        return kx29::read_master(path_arg(Arg<std::string>{v}), kind);
    wrong_type(name, "a kx29.Master, a path or None", v);
}

PyCalibrated image_calibrated(const kx29::Image& img, const py::object& bias, const py::object& dark,
                              const py::object& flat) {
    kx29::Masters m{master_arg(bias, kx29::MasterKind::Bias, "bias"), master_arg(dark, kx29::MasterKind::Dark, "dark"),
                    master_arg(flat, kx29::MasterKind::Flat, "flat")};
    if (m.empty()) usage("give a master: bias=, dark= or flat=");
    kx29::HeaderOptions opt;
    opt.creator = kCreator;
    return {kx29::calibrate(kx29::calib_image(img, opt), m)};
}

PyMaster combine_master(const Arg<std::string>& kind, const py::iterable& paths, const Arg<std::string>& method,
                        const Arg<double>& sigma, const py::object& bias, const py::object& dark) {
    kx29::MasterOptions opt;
    opt.kind = kx29::parse_master_kind(kind.get("kind"));
    opt.method = kx29::parse_combine_method(method.get("method"));
    opt.sigma = sigma.get("sigma");
    opt.creator = kCreator;
    auto b = master_arg(bias, kx29::MasterKind::Bias, "bias");
    auto d = master_arg(dark, kx29::MasterKind::Dark, "dark");
    opt.bias = b ? &*b : nullptr;
    opt.dark = d ? &*d : nullptr;
    std::vector<kx29::CalibImage> frames;
    for (auto p : paths)
        frames.push_back(kx29::read_calib_image(path_arg(Arg<std::string>{py::reinterpret_borrow<py::object>(p)})));
    return {kx29::make_master(frames, opt)};
}

// The pixels as the buffer protocol hands them out: np.asarray(img) is img.data.
py::buffer_info image_buffer(const kx29::Image& img) {
    const ssize_t w = img.width(), h = img.height(), item = sizeof(int16_t);
    return py::buffer_info(const_cast<int16_t*>(img.pixels.data()), item, py::format_descriptor<int16_t>::format(), 2,
                           {h, w}, {w * item, item}, /*readonly=*/true);
}

std::string image_repr(const kx29::Image& img) {
    return "<kx29.Image channel " + std::to_string(img.channel) + ", " + std::to_string(img.width()) + "x" +
           std::to_string(img.height()) + ", " + std::to_string(img.state.nadded) + " frames>";
}

std::string progress_repr(const kx29::Progress& p) {
    return "<kx29.Progress frame " + std::to_string(p.frame_in_image) + "/" + std::to_string(p.frames_per_image) +
           ", image " + std::to_string(p.image_number()) + "/" +
           (p.images_total < 0 ? "endless" : std::to_string(p.images_total)) + ", '" + p.message + "'>";
}

constexpr const char* kAcquireParameters = R"(

Parameters (None: as the channel's record has it):
  frames: frames summed into each image, 1 or more (default 1).
  images: images in the series (default 1); acquire_iter also takes a
    negative number, an endless series.
  add: add the frames to what the image holds instead of starting afresh
    (default False).
  ccd: correct each frame with the channel's bias and flat profile (default False).
  window: the measurement window in pixels, (x, y, width, height), "X,Y,W,H"
    or "full" (default None).
  format: the image format, 1 or 2 (default None).
  ref_level: the reference (black) level, 0..63 grey levels (default None).
  exposure: seconds of light per frame of the long-exposure camera, its
    channel only; it stays set, 0 returns to video frames (default None).
  progress: called with a Progress at each report; an exception it raises
    withdraws the request (default None).
  timeout: seconds without a frame or message from the daemon before giving
    up (default None: a few seconds beyond one frame).

A wrong argument raises UsageError before anything is written. Each image
delivered may bring ImageWarnings (saturated, clipped).)";

constexpr const char* kFileParameters = R"(
  form: "record" (int16, the values as the record holds them), "sum" (int32,
    the true sum of the frames) or "mean" (float32, the mean frame); FITS
    only (default "record").
  type: IMAGETYP: "light", "dark", "flat" or "bias" (default "light").
  keys: FITS keywords of your own, {"OBJECT": "M42"}, checked as kx29ctl
    --key checks them (default None).)";

constexpr const char* kPng16Parameter = R"(
  png16: PNG and PGM: the values + 32768 in 16 bits instead of the 8-bit
    stretch (default False).)";

// Channel.acquire and Channel.acquire_iter: one request, two ways to take its images.
template <typename Result>
void def_acquire(py::class_<PyChannel>& cls, const char* name, Result (*run)(const PyChannel&, const AcquireArgs&),
                 const std::string& doc) {
    cls.def(
        name,
        [run](const PyChannel& c, Arg<int> frames, Arg<int> images, Arg<bool> add, Arg<bool> ccd, py::object window,
              Arg<std::optional<int>> format, Arg<std::optional<int>> ref_level, Arg<std::optional<double>> exposure,
              py::object progress, Arg<std::optional<double>> timeout) {
            return run(c, {frames.get("frames"), images.get("images"), add.get("add"), ccd.get("ccd"),
                           std::move(window), format.get("format"), ref_level.get("ref_level"),
                           exposure.get("exposure"), std::move(progress), timeout.get("timeout")});
        },
        "frames"_a = 1, "images"_a = 1, "add"_a = false, "ccd"_a = false, "window"_a = py::none(),
        "format"_a = py::none(), "ref_level"_a = py::none(), "exposure"_a = py::none(), "progress"_a = py::none(),
        "timeout"_a = py::none(), (doc + kAcquireParameters).c_str());
}

}  // namespace

// The library's focus figure as Python values.
py::dict focus_dict(const kx29::Image& img) {
    const kx29::FocusFigure f = kx29::measure_focus(img);
    py::dict out;
    out["star"] = py::none();
    if (const auto& s = f.star) {
        py::dict star;
        star["x"] = s->x, star["y"] = s->y, star["peak"] = s->peak, star["hfr"] = s->hfr, star["fwhm"] = s->fwhm;
        star["flux"] = s->flux, star["snr"] = s->snr, star["background"] = s->background;
        star["aperture"] = s->aperture, star["saturated"] = s->saturated;
        out["star"] = star;
    }
    out["sharpness"] = f.sharpness, out["background"] = f.background, out["noise"] = f.noise;
    return out;
}

PYBIND11_MODULE(kx29, m) {
    m.doc() = "The KX29 frame grabber through its acquisition daemon: status, channels, images as numpy arrays.";
    m.attr("__version__") = KX29_VERSION;
    m.attr("CHANNELS") = KX29_CHANNELS;
    register_exceptions(m);

    py::class_<kx29::Progress>(m, "Progress", "One report of an acquisition under way.")
        .def_readonly("frames_done", &kx29::Progress::frames_done, "Frames read since the request was written")
        .def_readonly("frame_in_image", &kx29::Progress::frame_in_image, "Frames of the image under way")
        .def_readonly("frames_per_image", &kx29::Progress::frames_per_image)
        .def_readonly("images_done", &kx29::Progress::images_done, "Images finished")
        .def_property_readonly("image_number", &kx29::Progress::image_number,
                               "The image the counts describe, from 1: the one under way, or at a boundary the "
                               "one just finished")
        .def_readonly("images_total", &kx29::Progress::images_total, "Images asked for; negative: endless")
        .def_readonly("nadded", &kx29::Progress::nadded)
        .def_readonly("elapsed", &kx29::Progress::elapsed_s, "Seconds since the request was written")
        .def_readonly("remaining", &kx29::Progress::remaining_s, "Seconds left (estimate); None: endless")
        .def_readonly("exposure_left", &kx29::Progress::exposure_left_s,
                      "Seconds left of the long exposure under way, else None")
        .def_readonly("frame_exposure", &kx29::Progress::frame_exposure_s, "Seconds of light per frame")
        .def_readonly("message", &kx29::Progress::message, "The channel's last message")
        .def_readonly("frame_max", &kx29::Progress::frame_max, "Grey level maximum of the last frame; -1 before it")
        .def_readonly("saturated_frames", &kx29::Progress::saturated_frames, "Frames whose maximum reached 255")
        .def_readonly("clip_expected_after", &kx29::Progress::clip_expected_after,
                      "Frames after which the sum is expected to reach the 16-bit limits, when the first frames "
                      "of an image show that it will before its last; else None")
        .def_readonly("new_frame", &kx29::Progress::new_frame)
        .def_readonly("new_message", &kx29::Progress::new_message)
        .def("__repr__", &progress_repr);

    py::class_<kx29::Image>(m, "Image", py::buffer_protocol(),
                            "A finished image: the record's pixels within the measurement window. "
                            "np.asarray(img) is img.data.")
        .def_buffer(&image_buffer)
        .def_readonly("channel", &kx29::Image::channel)
        .def_property_readonly("width", &kx29::Image::width, "Pixels")
        .def_property_readonly("height", &kx29::Image::height, "Lines")
        .def_property_readonly(
            "region", [](const kx29::Image& i) { return window_tuple(i.region); },
            "(x, y, width, height) of the record's image held here, in pixels")
        .def_property_readonly("state", [](const kx29::Image& i) { return state_dict(i.state); })
        .def_readonly("exposure", &kx29::Image::exposure_s, "Seconds of light summed; None when unknown")
        .def_readonly("frame_max", &kx29::Image::frame_max, "Highest grey level of a frame; -1: no frame seen")
        .def_property_readonly("saturated", &kx29::Image::saturated, "A frame reached grey level 255")
        .def_readonly("clipped", &kx29::Image::clipped,
                      "Pixels whose sum the daemon cut at the 16-bit limits: not the sum of their frames")
        .def("focus", &focus_dict,
             "The focus figure of the window: {'star': {x, y, peak, hfr, fwhm, flux, snr, background, aperture, "
             "saturated} or None, 'sharpness', 'background', 'noise'}. Positions and widths in pixels of this "
             "image (x column, y line), levels in sums of the frames; sharpness: higher is sharper")
        .def_property_readonly("data", &image_data, "int16 pixels as the record holds them, [line, column]")
        .def_property_readonly(
            "sum", [](const kx29::Image& i) { return array_owning(i.sum(), i.width(), i.height()); },
            "int32 true sum of the frames: pixel + ADDLEV")
        .def_property_readonly(
            "mean", [](const kx29::Image& i) { return array_owning(i.mean(), i.width(), i.height()); },
            "float32 mean frame: (pixel + ADDLEV) / NCOMBINE; NaN where clipped")
        .def_property_readonly("header", &header_dict, "The FITS keywords save() writes by default, in order")
        .def(
            "save",
            [](const kx29::Image& img, const Arg<std::string>& path, const Arg<std::string>& form,
               const Arg<std::string>& type, py::object keys, const Arg<bool>& png16, const Arg<bool>& overwrite) {
                kx29::WriteOptions o = FileArgs{form, type, std::move(keys), png16}.options();
                o.overwrite = overwrite.get("overwrite");
                const std::string file = path_arg(path);
                py::gil_scoped_release nogil;
                kx29::save_image(file, img, o);
            },
            "path"_a, "form"_a = "record", "type"_a = "light", "keys"_a = py::none(), "png16"_a = false,
            "overwrite"_a = false,
            (std::string("Writes the image as kx29ctl does, under a temporary name renamed when complete.\n\n"
                         "Parameters:\n"
                         "  path: the file (str or os.PathLike); its extension chooses FITS (.fits, .fit), PNG,\n"
                         "    PGM or raw.") +
             kFileParameters + kPng16Parameter + "\n  overwrite: replace an existing file (default False).")
                .c_str())
        .def(
            "to_bytes",
            [](const kx29::Image& img, const Arg<std::string>& kind, const Arg<std::string>& form,
               const Arg<std::string>& type, py::object keys, const Arg<bool>& png16) {
                return image_bytes(img, file_type_named(kind.get("kind")),
                                   FileArgs{form, type, std::move(keys), png16}.options());
            },
            "kind"_a = "fits", "form"_a = "record", "type"_a = "light", "keys"_a = py::none(), "png16"_a = false,
            (std::string("The bytes save() writes.\n\nParameters:\n"
                         "  kind: \"fits\", \"png\", \"pgm\" or \"raw\" (default \"fits\").") +
             kFileParameters + kPng16Parameter)
                .c_str())
        .def(
            "to_hdu",
            [](const kx29::Image& img, const Arg<std::string>& form, const Arg<std::string>& type, py::object keys) {
                return image_hdu(img, FileArgs{form, type, std::move(keys)}.options());
            },
            "form"_a = "record", "type"_a = "light", "keys"_a = py::none(),
            (std::string("An astropy.io.fits PrimaryHDU read from the FITS bytes save() writes.\n\nParameters:") +
             kFileParameters)
                .c_str())
        .def("calibrated", &image_calibrated, "bias"_a = py::none(), "dark"_a = py::none(), "flat"_a = py::none(),
             "The image calibrated with masters (kx29.Master, or a path): (mean frame - bias - dark x exposure "
             "ratio) / flat, as kx29ctl acquire --bias --dark --flat writes it. Returns a kx29.Calibrated "
             "(float32 data, header, history, save()). UsageError when a master does not match the image")
        .def("_repr_png_",
             [](const kx29::Image& i) { return image_bytes(i, kx29::FileType::Png, FileArgs{}.options()); })
        .def("__repr__", &image_repr);

    py::class_<PyMaster> master(m, "Master", "A master bias, dark or flat: float32 mean-frame grey levels.");
    def_calib_common(master);
    master
        .def_static(
            "open",
            [](const Arg<std::string>& path, const Arg<std::optional<std::string>>& kind) {
                const std::string file = path_arg(path);
                auto k = kind.get("kind");
                if (k) return PyMaster{kx29::read_master(file, kx29::parse_master_kind(*k))};
                kx29::CalibImage c = kx29::read_calib_image(file);
                if (c.text("IMAGETYP").rfind("MASTER ", 0) != 0)
                    usage(file + ": IMAGETYP is '" + c.text("IMAGETYP") + "', not a master's");
                return PyMaster{std::move(c)};
            },
            "path"_a, "kind"_a = py::none(), "Reads a master written by kx29ctl master (kind: 'bias', 'dark' or 'flat' "
                                            "to insist on one)")
        .def_static("combine", &combine_master, "kind"_a, "paths"_a, "method"_a = "median", "sigma"_a = 3.0,
                    "bias"_a = py::none(), "dark"_a = py::none(),
                    "Combines FITS files of one kind and settings into a master, as kx29ctl master does. method: "
                    "'median' or 'sigma-clip'; bias, dark: masters subtracted from each frame first")
        .def_property_readonly(
            "kind", [](const PyMaster& p) { return p.c.text("IMAGETYP").substr(7); }, "'BIAS', 'DARK' or 'FLAT'")
        .def("__repr__", [](const PyMaster& p) {
            return "<kx29.Master " + p.c.text("IMAGETYP").substr(7) + " " + std::to_string(p.c.width) + "x" +
                   std::to_string(p.c.height) + ">";
        });
    py::class_<PyCalibrated> calibrated(m, "Calibrated", "An image calibrated with masters (Image.calibrated).");
    def_calib_common(calibrated);

    py::class_<ImageStream>(m, "Acquisition",
                            "An acquisition under way (Channel.acquire_iter): iterating it yields each Image as it "
                            "finishes and ends when the request has completed; an exception that ends it early "
                            "carries all the images finished before it in `images`. close() withdraws the request.")
        .def("__iter__", [](py::object self) { return self; })
        .def("__next__",
             [](ImageStream& s) {
                 if (auto img = s.next()) return *img;
                 throw py::stop_iteration();
             })
        .def("close", &ImageStream::close,
             "Withdraws the request if it still runs and waits until the daemon is done with it")
        .def("__enter__", [](py::object self) { return self; })
        .def("__exit__", [](ImageStream& s, py::args) { s.close(); });

    py::class_<PyChannel> channel(m, "Channel", "One channel (video input) of the board.");
    channel
        .def_readonly("number", &PyChannel::number)
        .def_property_readonly(
            "state", [](const PyChannel& c) { return state_dict(c.seg()->view(c.number).state()); },
            "The record's scalar fields, each read on its own")
        .def("image", &channel_image,
             "A consistent copy of the record's whole image, [line, column]: taken while no frame is written "
             "into it (FailedError when the daemon never pauses for 5 s)")
        .def("view", &channel_view,
             "The record's image in place: read-only, no copy, live. The daemon writes into it while frames "
             "arrive, so a copy of it taken during an acquisition may hold part of a frame: keep a state with "
             "image(). It keeps the segment attached while it lives, even after Board.close().")
        .def("abort", &channel_abort, "timeout"_a = 5.0,
             "Withdraws the channel's acquisition, whoever asked for it, and waits until the daemon has "
             "finished the frame under way.\n\nParameters:\n"
             "  timeout: seconds to wait for that frame (default 5.0).")
        .def("__repr__", [](const PyChannel& c) { return "<kx29.Channel " + std::to_string(c.number) + ">"; });
    def_acquire(channel, "acquire", &channel_acquire,
                "Acquires and returns an Image (a list of them for several images). An exception that ends the "
                "acquisition early carries the images finished before it in its attribute `images`.");
    def_acquire(channel, "acquire_iter", &channel_acquire_iter,
                "Writes the request of acquire() and returns an Acquisition that yields each Image as it "
                "finishes; images < 0 is an endless series.");

    py::class_<Board, BoardPtr>(m, "Board",
                                "The board through the daemon's shared segment; a context manager that closes it.\n\n"
                                "Parameters:\n"
                                "  key: the segment's key, four printable characters (default None: KX29_KEY, "
                                "else \"KX29\").")
        .def(py::init(&attach_board), "key"_a = py::none())
        .def_readonly("key", &Board::key)
        .def_property_readonly("daemon",
                               [](const Board& b) {
                                   auto d = b.seg()->daemon();
                                   return py::dict("pid"_a = d.pid, "alive"_a = d.alive);
                               })
        .def_property_readonly("channels",
                               [](const BoardPtr& b) {
                                   b->seg();
                                   py::tuple t(KX29_CHANNELS);
                                   for (int i = 0; i < KX29_CHANNELS; ++i) t[i] = py::cast(PyChannel{b, i});
                                   return t;
                               })
        .def(
            "status",
            [](const Board& b) { return py::module_::import("json").attr("loads")(kx29::status_json(*b.seg())); },
            "The document of 'kx29ctl status --json'")
        .def(
            "close", [](Board& b) { b.attached.reset(); },
            "Detaches the segment: the board and its channels raise UsageError from then on. Arrays of "
            "Channel.view() and acquisitions under way keep it until they are gone.")
        .def("__enter__", [](py::object self) { return self; })
        .def("__exit__", [](Board& b, py::args) { b.attached.reset(); })
        .def("__repr__", [](const Board& b) {
            return "<kx29.Board key " + b.key + (b.attached ? ">" : ", closed>");
        });
}
