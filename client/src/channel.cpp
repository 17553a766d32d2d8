// Typed reads and writes of one channel record and the atomic changes of its command word.
#include "kx29/client.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace kx29 {

namespace {

// Every int of the record is 4-aligned (the record is packed to 4), so each
// is read and written whole; the daemon never sees half a value.
int load(const int& field) { return __atomic_load_n(&field, __ATOMIC_ACQUIRE); }
void store(int& field, int value) { __atomic_store_n(&field, value, __ATOMIC_RELEASE); }

// The double sits at offset 8 of a record, and records 1 and 3 start at
// offsets that are not multiples of 8, so it is copied bytewise.
char* exposure_bytes(TVchan* rec) { return reinterpret_cast<char*>(rec) + offsetof(TVchan, exposure); }

}  // namespace

std::string valid_text(std::string_view bytes) {
    std::string out;
    for (size_t i = 0; i < bytes.size();) {
        const unsigned char c = bytes[i];
        // Length of the sequence c starts, and the smallest code point it may
        // hold (no overlong forms); 0 for a byte that starts none.
        const size_t len = c < 0x80 ? 1 : c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
        char32_t cp = len == 1 ? c : len == 2 ? c & 0x1F : len == 3 ? c & 0x0F : c & 0x07;
        size_t k = 1;
        for (; len > 1 && k < len && i + k < bytes.size() && (bytes[i + k] & 0xC0) == 0x80; ++k)
            cp = cp << 6 | (bytes[i + k] & 0x3F);
        const bool ok = len != 0 && k == len && (len < 3 || cp >= (len == 3 ? 0x800u : 0x10000u)) && cp <= 0x10FFFF &&
                        (cp < 0xD800 || cp > 0xDFFF);
        if (ok) {
            out.append(bytes.substr(i, len));
            i += len;
        } else {
            out += "\xEF\xBF\xBD";
            ++i;
        }
    }
    return out;
}

bool geometry_fits(const ChannelState& s) {
    return s.img_width >= 1 && s.img_width <= KX29_MAX_COLS && s.img_height >= 1 &&
           static_cast<long>(s.img_width) * s.img_height <= KX29_IMAGE_PIXELS;
}

bool long_exposure(const ChannelState& s) { return s.tandem != 0 && s.exposure > 0.041; }

double commanded_exposure(double requested_s) {
    if (!(requested_s > 0.041)) return requested_s;
    // The daemon's countdown: one step per frame period while more than
    // 0.01 s is left, each taking 0.04 s off, in the same double arithmetic.
    long steps = 0;
    for (double left = std::min(requested_s, kMaxExposure); left > 0.01; left -= 0.04) ++steps;
    return static_cast<double>(steps) * 0.04;
}

double frame_exposure(const ChannelState& s) {
    return long_exposure(s) ? commanded_exposure(std::min(s.exposure, kMaxExposure)) : 0.04;
}

std::optional<std::string> record_problem(const ChannelState& s) {
    const std::string ch = "channel " + std::to_string(s.num);
    if (s.tandem != 0 && !(s.exposure <= kMaxExposure) && !(s.exposure < 0)) {
        char text[64];
        std::snprintf(text, sizeof text, "%g", s.exposure);
        return ch + "'s record holds an exposure of " + text + " s, which no request sets (at most " +
               std::to_string(static_cast<int>(kMaxExposure)) + " s); set the exposure again";
    }
    if (s.nadded < 0) return ch + "'s record holds a frame count below 0 (" + std::to_string(s.nadded) + ")";
    return std::nullopt;
}

int ChannelView::num() const { return load(rec_->num); }
int ChannelView::tandem() const { return load(rec_->tandem); }
int ChannelView::activ() const { return load(rec_->activ); }
int ChannelView::seqn() const { return load(rec_->seqn); }
int ChannelView::tstart() const { return load(rec_->tstart); }
int ChannelView::tcurr() const { return load(rec_->tcurr); }
int ChannelView::command() const { return load(rec_->command); }
int ChannelView::nexp() const { return load(rec_->nexp); }
int ChannelView::nadd() const { return load(rec_->nadd); }
int ChannelView::nadded() const { return load(rec_->nadded); }
int ChannelView::addlev() const { return load(rec_->addlev); }
int ChannelView::next_form() const { return load(rec_->next_form); }
int ChannelView::form() const { return load(rec_->form); }
int ChannelView::ref_lev() const { return load(rec_->ref_lev); }
int ChannelView::img_width() const { return load(rec_->img_width); }
int ChannelView::img_height() const { return load(rec_->img_height); }
int ChannelView::seqmsg() const { return load(rec_->seqmsg); }
int ChannelView::bias() const { return load(rec_->bias); }

double ChannelView::exposure() const {
    double v;
    std::memcpy(&v, exposure_bytes(rec_), sizeof v);
    return v;
}

Window ChannelView::window() const {
    return {load(rec_->frm_col0), load(rec_->frm_lin0), load(rec_->frm_width), load(rec_->frm_height)};
}

std::string ChannelView::msg() const {
    char text[KX29_MSG_LEN];
    std::memcpy(text, rec_->msg, sizeof text);
    return valid_text(std::string_view(text, strnlen(text, sizeof text)));
}

std::array<int, KX29_MAX_COLS> ChannelView::flat() const {
    std::array<int, KX29_MAX_COLS> values{};
    for (int i = 0; i < KX29_MAX_COLS; ++i) values[i] = load(rec_->flat[i]);
    return values;
}

ChannelState ChannelView::state() const {
    ChannelState s;
    s.num = num();
    s.tandem = tandem();
    s.exposure = exposure();
    s.activ = activ();
    s.seqn = seqn();
    s.tstart = tstart();
    s.tcurr = tcurr();
    s.command = command();
    s.nexp = nexp();
    s.nadd = nadd();
    s.nadded = nadded();
    s.addlev = addlev();
    s.next_form = next_form();
    s.form = form();
    s.ref_lev = ref_lev();
    s.img_width = img_width();
    s.img_height = img_height();
    s.window = window();
    s.seqmsg = seqmsg();
    s.msg = msg();
    s.bias = bias();
    return s;
}

std::span<const int16_t> ChannelView::image_memory() const {
    return {reinterpret_cast<const int16_t*>(rec_->image), static_cast<size_t>(KX29_IMAGE_PIXELS)};
}

// Proof that no frame was written into the copy: the daemon sets
// ACTIV_WRITING before it writes a frame (or a clear) into the image and
// clears it only after that frame's seqn, tallies and message. Read in this
// order: activ without the bit, seqn, the copy, then activ without the bit
// and seqn unchanged. A write that overlapped the copy has either not ended
// by the second reading of activ (the bit is set) or ended before it, and
// then its seqn, counted before the bit was cleared, differs.
std::optional<ChannelImage> ChannelView::try_capture_image() const {
    if (activ() & ACTIV_WRITING) return std::nullopt;
    const int before = seqn();
    ChannelImage img;
    img.channel = number_;
    img.state = state();
    if (!geometry_fits(img.state))
        throw Error(ErrorKind::Environment,
                    "channel " + std::to_string(number_) + " has an image geometry outside the record (" +
                        std::to_string(img.state.img_width) + "x" + std::to_string(img.state.img_height) + ")");
    size_t count = static_cast<size_t>(img.state.img_width) * img.state.img_height;
    img.pixels.resize(count);
    std::memcpy(img.pixels.data(), rec_->image, count * sizeof(int16_t));
    __atomic_thread_fence(__ATOMIC_ACQUIRE);
    if ((activ() & ACTIV_WRITING) || seqn() != before || img.state.seqn != before) return std::nullopt;
    return img;
}

ChannelImage ChannelView::capture_image(std::chrono::milliseconds timeout) const {
    std::optional<ChannelImage> img;
    poll_until([&] { return (img = try_capture_image()).has_value(); }, timeout, {}, std::chrono::milliseconds(1));
    if (!img)
        throw Error(ErrorKind::Failed, "channel " + std::to_string(number_) +
                                           ": the daemon kept writing into the image; no whole copy could be taken");
    return std::move(*img);
}

void Channel::set_exposure(double seconds) {
    std::memcpy(exposure_bytes(rec_), &seconds, sizeof seconds);
    __atomic_thread_fence(__ATOMIC_RELEASE);
}
void Channel::set_nexp(int images) { store(rec_->nexp, images); }
void Channel::set_nadd(int frames) { store(rec_->nadd, frames); }
void Channel::set_next_form(int format) { store(rec_->next_form, format); }
void Channel::set_ref_lev(int level) { store(rec_->ref_lev, level); }
void Channel::set_bias(int bias) { store(rec_->bias, bias); }
bool Channel::replace_nadded(int expected, int frames) {
    return __atomic_compare_exchange_n(&rec_->nadded, &expected, frames, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
}
bool Channel::replace_nadd(int expected, int frames) {
    return __atomic_compare_exchange_n(&rec_->nadd, &expected, frames, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
}
bool Channel::replace_addlev(int expected, int level) {
    return __atomic_compare_exchange_n(&rec_->addlev, &expected, level, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
}

void Channel::set_window(const Window& w) {
    store(rec_->frm_col0, w.col0);
    store(rec_->frm_lin0, w.lin0);
    store(rec_->frm_width, w.width);
    store(rec_->frm_height, w.height);
}

void Channel::set_flat(const std::array<int, KX29_MAX_COLS>& flat) {
    for (int i = 0; i < KX29_MAX_COLS; ++i) store(rec_->flat[i], flat[i]);
}

int Channel::set_command_bits(int bits) { return __atomic_fetch_or(&rec_->command, bits, __ATOMIC_SEQ_CST); }

int Channel::clear_command_bits(int bits) { return __atomic_fetch_and(&rec_->command, ~bits, __ATOMIC_SEQ_CST); }

bool Channel::claim_with_clear() {
    int expected = load(rec_->command);
    if (expected & ~(CMD_CCD | CMD_SHOW)) return false;
    return __atomic_compare_exchange_n(&rec_->command, &expected, expected | CMD_CLEAR, false, __ATOMIC_SEQ_CST,
                                       __ATOMIC_SEQ_CST);
}

bool Channel::replace_command(int expected, int word) {
    return __atomic_compare_exchange_n(&rec_->command, &expected, word, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
}

bool Channel::claim_for_acquisition(bool clear, bool ccd) {
    int word = load(rec_->command);
    for (;;) {
        if ((word & (CMD_ACQUIRE | CMD_CLEAR)) || word == CMD_RELOAD) return false;
        const int next = (word & ~CMD_CCD) | CMD_ACQUIRE | (clear ? CMD_CLEAR : 0) | (ccd ? CMD_CCD : 0);
        if (__atomic_compare_exchange_n(&rec_->command, &word, next, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST))
            return true;
    }
}

void Channel::withdraw_clear() {
    int word = load(rec_->command);
    while ((word & (CMD_CLEAR | CMD_ACQUIRE)) == CMD_CLEAR &&
           !__atomic_compare_exchange_n(&rec_->command, &word, word & ~CMD_CLEAR, false, __ATOMIC_SEQ_CST,
                                        __ATOMIC_SEQ_CST)) {
    }
}

bool Channel::request_reload() {
    int expected = 0;
    return __atomic_compare_exchange_n(&rec_->command, &expected, static_cast<int>(CMD_RELOAD), false,
                                       __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
}

std::vector<std::string> command_name_list(int command) {
    std::vector<std::string> names;
    if (command == CMD_RELOAD) return {"RELOAD"};
    static constexpr struct {
        int bit;
        const char* name;
    } bits[] = {{CMD_CLEAR, "CLEAR"}, {CMD_ACQUIRE, "ACQUIRE"}, {CMD_CCD, "CCD"}, {CMD_SHOW, "SHOW"},
                // With other bits, 16 waits: the word becomes a reload once
                // the daemon has cleared the others.
                {CMD_RELOAD, "RELOAD"}};
    int rest = command;
    for (const auto& b : bits) {
        if (command & b.bit) names.emplace_back(b.name);
        rest &= ~b.bit;
    }
    if (rest != 0) {
        char hex[16];
        std::snprintf(hex, sizeof hex, "0x%x", static_cast<unsigned>(rest));
        names.emplace_back(hex);
    }
    return names;
}

std::string command_names(int command) {
    if (command == 0) return "-";
    std::string text;
    for (const auto& name : command_name_list(command)) text += (text.empty() ? "" : "|") + name;
    return text;
}

}  // namespace kx29
