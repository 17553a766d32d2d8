// The Python module kx29: the board, its channels and their acquisitions over the client
// library, with images as numpy arrays.

#include "kx29/acquire.h"
#include "kx29/image.h"
#include "kx29/image_file.h"
#include "kx29/status.h"

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
    auto v = w.cast<std::vector<int>>();
    if (v.size() != 4) throw kx29::Error(kx29::ErrorKind::Usage, "window: give (x, y, width, height) or 'full'");
    kx29::WindowRequest r;
    r.window = {v[0], v[1], v[2], v[3]};
    return r;
}

// Keywords from {"OBJECT": "M42", "AIRMASS": 1.2}, checked as kx29ctl checks "--key OBJECT=M42".
std::vector<kx29::HeaderCard> user_cards(const py::object& keys) {
    std::vector<kx29::HeaderCard> cards;
    if (keys.is_none()) return cards;
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
    throw kx29::Error(kx29::ErrorKind::Usage, "form must be 'record', 'sum' or 'mean', not '" + form + "'");
}

kx29::WriteOptions write_options(const std::string& form, const std::string& type, const py::object& keys,
                                 bool png16, bool overwrite) {
    kx29::WriteOptions o;
    o.header.form = pixel_form(form);
    o.header.type = kx29::parse_image_type(type);
    o.header.creator = kCreator;
    o.header.user = user_cards(keys);
    o.sixteen_bit = png16;
    o.overwrite = overwrite;
    return o;
}

kx29::FileType file_type_named(const std::string& kind) {
    if (auto t = kx29::file_type_for("x." + kind)) return *t;
    throw kx29::Error(kx29::ErrorKind::Usage, "unknown file type '" + kind + "' (fits, png, pgm, raw)");
}

py::dict header_dict(const kx29::Image& img) {
    kx29::HeaderOptions opt;
    opt.creator = kCreator;
    py::dict h;
    for (const auto& card : kx29::header_cards(img, opt)) h[py::str(card.name)] = py::cast(card.value);
    return h;
}

// ---- Board and channels ------------------------------------------------------------
struct Board {
    SegmentPtr seg;
};

struct PyChannel {
    SegmentPtr seg;
    int number = 0;
};

Board attach_board(const std::optional<std::string>& key) {
    if (!key) return {std::make_shared<kx29::Segment>(kx29::Segment::attach(kx29::Access::ReadWrite))};
    ShmKey k{};
    if (!kx29_key_from_text(key->c_str(), &k))
        throw kx29::Error(kx29::ErrorKind::Usage, "the key must be exactly four printable characters");
    return {std::make_shared<kx29::Segment>(kx29::Segment::attach(k, kx29::Access::ReadWrite))};
}

py::array_t<int16_t> channel_image(const PyChannel& ch) {
    kx29::ChannelImage copy;
    {
        py::gil_scoped_release nogil;
        copy = ch.seg->view(ch.number).capture_image();
    }
    return array_owning(std::move(copy.pixels), copy.state.img_width, copy.state.img_height);
}

// The record's image in place, read-only; the array's base holds the segment attached.
py::array channel_view(const PyChannel& ch) {
    kx29::ChannelView v = ch.seg->view(ch.number);
    kx29::ChannelState s = v.state();
    kx29::check_geometry(s);
    auto* owner = new SegmentPtr(ch.seg);
    py::capsule base(owner, [](void* p) { delete static_cast<SegmentPtr*>(p); });
    const ssize_t w = s.img_width, h = s.img_height;
    py::array a(py::dtype::of<int16_t>(), {h, w}, {w * ssize_t(sizeof(short)), ssize_t(sizeof(short))},
                reinterpret_cast<const short*>(v.image_memory().data()), base);
    make_read_only(a);
    return a;
}

py::dict channel_abort(const PyChannel& ch, double timeout_s) {
    kx29::AbortReport r;
    {
        py::gil_scoped_release nogil;
        r = kx29::abort_channel(*ch.seg, ch.number, std::chrono::milliseconds(std::llround(timeout_s * 1000)));
    }
    return py::dict("channel"_a = r.channel, "daemon_alive"_a = r.daemon_alive, "was_acquiring"_a = r.was_acquiring,
                    "images_left"_a = r.images_left, "frames_per_image"_a = r.frames_per_image,
                    "long_exposure"_a = r.long_exposure, "idle"_a = r.idle, "summary"_a = r.summary);
}

// ---- Acquisition ---------------------------------------------------------------------
// The line kx29ctl prints at the end of an acquisition.
std::string outcome_summary(int channel, const kx29::AcquireResult& r, int saturated_images) {
    std::string s = kx29::acquisition_summary(channel, r, saturated_images);
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
        throw kx29::Error(kx29::ErrorKind::Usage, "timeout must be a positive number of seconds");
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
        : seg_(ch.seg), channel_(ch.number), images_asked_(a.images), progress_(a.progress) {
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
            } else if (auto* img = std::get_if<kx29::Image>(&*ev)) {
                return keep(std::move(*img));
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
    using Event = std::variant<kx29::Progress, kx29::Image>;
    // How often signals (Ctrl-C) are looked at while waiting for an event.
    static constexpr auto kSignalCheckInterval = std::chrono::milliseconds(20);

    // The acquisition thread: touches no Python object.
    void run() {
        kx29::AcquireEvents ev;
        if (!progress_.is_none()) ev.progress = [this](const kx29::Progress& p) { push(p); };
        ev.image_done = [this](int, const kx29::Image& img) { push(img); };
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

    py::object keep(kx29::Image&& img) {
        saturated_ += img.saturated();
        py::object obj = py::cast(std::move(img));
        images_.append(obj);
        return obj;
    }

    // A Python exception (KeyboardInterrupt, or one of the progress callback)
    // withdraws the request; it is raised once the acquisition has ended.
    void interrupt(py::error_already_set&& e) {
        pending_ = std::move(e);
        stop_ = true;
    }

    void report(const kx29::Progress& p) {
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
            if (auto* img = std::get_if<kx29::Image>(&ev)) keep(std::move(*img));
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
        if (!error_) return outcome_summary(channel_, result_, saturated_);
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

    std::mutex mutex_;  // guards queue_ and ended_ while the thread runs
    std::condition_variable arrived_;
    std::deque<Event> queue_;
    bool ended_ = false;
    kx29::AcquireResult result_;  // written by the thread before ended_
    std::exception_ptr error_;

    // The iterating thread's own.
    bool finished_ = false;
    py::list images_;
    int saturated_ = 0;
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

py::bytes image_bytes(const kx29::Image& img, const std::string& kind) {
    kx29::WriteOptions o;
    o.header.creator = kCreator;
    return py::bytes(kx29::encode_image(file_type_named(kind), img, o));
}

// An astropy.io.fits HDU read from the very bytes that save() writes.
py::object image_hdu(const kx29::Image& img) {
    auto fits = py::module_::import("astropy.io.fits");
    py::object hdul = fits.attr("HDUList").attr("fromstring")(image_bytes(img, "fits"));
    py::object hdu = hdul[py::int_(0)];
    hdu.attr("data");  // read now: the HDU outlives the bytes it came from
    return hdu;
}

std::string image_repr(const kx29::Image& img) {
    return "<kx29.Image channel " + std::to_string(img.channel) + ", " + std::to_string(img.width()) + "x" +
           std::to_string(img.height()) + ", " + std::to_string(img.state.nadded) + " frames>";
}

std::string progress_repr(const kx29::Progress& p) {
    return "<kx29.Progress frame " + std::to_string(p.frame_in_image) + "/" + std::to_string(p.frames_per_image) +
           ", image " + std::to_string(p.images_done) + "/" + std::to_string(p.images_total) + ", '" + p.message +
           "'>";
}

// Channel.acquire and Channel.acquire_iter: one request, two ways to take its images.
template <typename Result>
void def_acquire(py::class_<PyChannel>& cls, const char* name, Result (*run)(const PyChannel&, const AcquireArgs&),
                 const char* doc) {
    cls.def(
        name,
        [run](const PyChannel& c, int frames, int images, bool add, bool ccd, py::object window,
              std::optional<int> format, std::optional<int> ref_level, std::optional<double> exposure,
              py::object progress, std::optional<double> timeout) {
            return run(c, {frames, images, add, ccd, std::move(window), format, ref_level, exposure,
                           std::move(progress), timeout});
        },
        "frames"_a = 1, "images"_a = 1, "add"_a = false, "ccd"_a = false, "window"_a = py::none(),
        "format"_a = py::none(), "ref_level"_a = py::none(), "exposure"_a = py::none(), "progress"_a = py::none(),
        "timeout"_a = py::none(), doc);
}

}  // namespace

PYBIND11_MODULE(kx29, m) {
    m.doc() = "The KX29 frame grabber through its acquisition daemon: status, channels, images as numpy arrays.";
    m.attr("CHANNELS") = KX29_CHANNELS;
    register_exceptions(m);

    py::class_<kx29::Progress>(m, "Progress", "One report of an acquisition under way.")
        .def_readonly("frames_done", &kx29::Progress::frames_done)
        .def_readonly("frame_in_image", &kx29::Progress::frame_in_image)
        .def_readonly("frames_per_image", &kx29::Progress::frames_per_image)
        .def_readonly("images_done", &kx29::Progress::images_done)
        .def_readonly("images_total", &kx29::Progress::images_total)
        .def_readonly("nadded", &kx29::Progress::nadded)
        .def_readonly("elapsed", &kx29::Progress::elapsed_s)
        .def_readonly("remaining", &kx29::Progress::remaining_s)
        .def_readonly("exposure_left", &kx29::Progress::exposure_left_s)
        .def_readonly("frame_exposure", &kx29::Progress::frame_exposure_s)
        .def_readonly("message", &kx29::Progress::message)
        .def_readonly("frame_max", &kx29::Progress::frame_max)
        .def_readonly("saturated_frames", &kx29::Progress::saturated_frames)
        .def_readonly("new_frame", &kx29::Progress::new_frame)
        .def_readonly("new_message", &kx29::Progress::new_message)
        .def("__repr__", &progress_repr);

    py::class_<kx29::Image>(m, "Image", "A finished image: the record's pixels within the measurement window.")
        .def_readonly("channel", &kx29::Image::channel)
        .def_property_readonly("width", &kx29::Image::width)
        .def_property_readonly("height", &kx29::Image::height)
        .def_property_readonly("region", [](const kx29::Image& i) { return window_tuple(i.region); })
        .def_property_readonly("state", [](const kx29::Image& i) { return state_dict(i.state); })
        .def_readonly("exposure", &kx29::Image::exposure_s)
        .def_readonly("frame_max", &kx29::Image::frame_max)
        .def_property_readonly("saturated", &kx29::Image::saturated)
        .def_property_readonly("data", &image_data, "int16 pixels as the record holds them, [line, column]")
        .def_property_readonly(
            "sum", [](const kx29::Image& i) { return array_owning(i.sum(), i.width(), i.height()); },
            "int32 true sum of the frames: pixel + ADDLEV")
        .def_property_readonly(
            "mean", [](const kx29::Image& i) { return array_owning(i.mean(), i.width(), i.height()); },
            "float32 mean frame: (pixel + ADDLEV) / NCOMBINE")
        .def_property_readonly("header", &header_dict, "The FITS keywords save() writes, in order")
        .def(
            "save",
            [](const kx29::Image& img, const std::string& path, const std::string& form, const std::string& type,
               const py::object& keys, bool png16, bool overwrite) {
                kx29::WriteOptions o = write_options(form, type, keys, png16, overwrite);
                py::gil_scoped_release nogil;
                kx29::save_image(path, img, o);
            },
            "path"_a, "form"_a = "record", "type"_a = "light", "keys"_a = py::none(), "png16"_a = false,
            "overwrite"_a = false,
            "Writes FITS, PNG, PGM or raw by the extension, as kx29ctl does.")
        .def("to_bytes", &image_bytes, "kind"_a = "fits", "The bytes save() would write: 'fits', 'png', 'pgm', 'raw'")
        .def("to_hdu", &image_hdu, "An astropy.io.fits PrimaryHDU with the same header and data as the FITS file")
        .def("_repr_png_", [](const kx29::Image& i) { return image_bytes(i, "png"); })
        .def("__repr__", &image_repr);

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
            "state", [](const PyChannel& c) { return state_dict(c.seg->view(c.number).state()); },
            "The record's scalar fields, each read on its own")
        .def("image", &channel_image,
             "A consistent copy of the record's whole image, [line, column]: taken while no frame is written "
             "into it (FailedError when the daemon never pauses for 5 s)")
        .def("view", &channel_view,
             "The record's image in place: read-only, no copy, live. The daemon writes into it while frames "
             "arrive, so a copy of it taken during an acquisition may hold part of a frame: keep a state with "
             "image()")
        .def("abort", &channel_abort, "timeout"_a = 5.0, "Withdraws the channel's acquisition, whoever asked for it")
        .def("__repr__", [](const PyChannel& c) { return "<kx29.Channel " + std::to_string(c.number) + ">"; });
    def_acquire(channel, "acquire", &channel_acquire,
                "Acquires and returns an Image (a list of them for several images). An exception that ends the "
                "acquisition early carries the images finished before it in its attribute `images`.");
    def_acquire(channel, "acquire_iter", &channel_acquire_iter,
                "Writes the request of acquire() and returns an Acquisition that yields each Image as it "
                "finishes; images < 0 is an endless series.");

    py::class_<Board>(m, "Board", "The board through the daemon's shared segment (key: KX29_KEY, else KX29).")
        .def(py::init(&attach_board), "key"_a = py::none())
        .def_property_readonly("key", [](const Board& b) { return std::string(b.seg->key().name); })
        .def_property_readonly("daemon",
                               [](const Board& b) {
                                   auto d = b.seg->daemon();
                                   return py::dict("pid"_a = d.pid, "alive"_a = d.alive);
                               })
        .def_property_readonly("channels",
                               [](const Board& b) {
                                   py::tuple t(KX29_CHANNELS);
                                   for (int i = 0; i < KX29_CHANNELS; ++i) t[i] = py::cast(PyChannel{b.seg, i});
                                   return t;
                               })
        .def("status",
             [](const Board& b) { return py::module_::import("json").attr("loads")(kx29::status_json(*b.seg)); },
             "The document of 'kx29ctl status --json'")
        .def("__repr__", [](const Board& b) { return "<kx29.Board key " + std::string(b.seg->key().name) + ">"; });
}
