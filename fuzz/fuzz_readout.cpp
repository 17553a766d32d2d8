// libFuzzer target: read_frame and write_image on the test board with
// arbitrary record contents (geometry, window, bias, flat profile), sub-level,
// mode and frame bytes. The record is a heap block of exactly one TVchan, so
// AddressSanitizer sees any access beyond it. Besides the sanitizers' findings
// it fails when the readout changes a record field other than the image and
// the flat profile, lowers or otherwise changes a flat entry (only entries
// below 1 may become 1), writes pixels beyond the image of a valid geometry or
// outside a window that lies inside it, or leaves statistics out of range.
//
// Input layout (missing bytes read as 0):
//   0..91    the record from num to seqmsg (geometry, window, counters)
//   92..95   bias
//   96..99   Lev0
//   100      bit 0: ADD, bit 1: CCD, bit 2: write the image back afterwards
//   101..102 value every image pixel holds before the readout
//   103      k: number of flat values that follow (k mod 17)
//   104..    k flat values, repeated over all 768 columns
//   rest     frame bytes, repeated over the 768 x 576 frame in the board's memory
#include "kx29.h"
#include "kx29_io.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

using kx29test::test_board;

namespace {

TVchan* rec;     // the record under test
TVchan* before;  // its copy before the readout

struct Input {
    const uint8_t* data;
    size_t size;
    size_t at = 0;
    void take(void* out, size_t n) {
        uint8_t* o = static_cast<uint8_t*>(out);
        for (size_t i = 0; i < n; ++i, ++at) o[i] = at < size ? data[at] : 0;
    }
    template <typename T>
    T get() {
        T v;
        take(&v, sizeof v);
        return v;
    }
};

constexpr size_t HEADER_BYTES = offsetof(TVchan, msg);  // num .. seqmsg

bool valid_geometry(const TVchan* r) {
    return r->img_width >= 1 && r->img_width <= KX29_MAX_COLS && r->img_height >= 1 &&
           static_cast<long long>(r->img_width) * r->img_height <= KX29_IMAGE_PIXELS;
}

// A window of at least one pixel that lies inside the image.
bool window_inside(const TVchan* r) {
    auto inside = [](long long first, long long length, long long size) {
        return first >= 0 && length >= 1 && first + length <= size;
    };
    return inside(r->frm_col0, r->frm_width, r->img_width) && inside(r->frm_lin0, r->frm_height, r->img_height);
}

bool same(const short* a, const short* b, long n) { return n <= 0 || memcmp(a, b, sizeof(short) * n) == 0; }

void check_record() {
    if (memcmp(rec, before, offsetof(TVchan, flat)) != 0) abort();  // fields from num to bias
    for (int j = 0; j < KX29_MAX_COLS; ++j) {
        const int was = before->flat[j], now = rec->flat[j];
        if (now != was && !(was < 1 && now == 1)) abort();
    }
    if (!valid_geometry(before)) return;
    const int w = before->img_width, h = before->img_height;
    if (!same(rec->image + w * h, before->image + w * h, KX29_IMAGE_PIXELS - w * h)) abort();
    if (!window_inside(before)) return;
    const int i0 = before->frm_lin0, in = i0 + before->frm_height;
    const int j0 = before->frm_col0, jn = j0 + before->frm_width;
    for (int i = 0; i < h; ++i) {
        const short *now = rec->image + i * w, *was = before->image + i * w;
        if (i < i0 || i >= in) {
            if (!same(now, was, w)) abort();
        } else if (!same(now, was, j0) || !same(now + jn, was + jn, w - jn)) {
            abort();
        }
    }
}

void check_statistics() {
    if (imin < 0 || imin > 255 || imax < 0 || imax > 255 || hmax < 0 || hmax > 255) abort();
    if (!std::isfinite(hmed) || !std::isfinite(havr) || !std::isfinite(hdisp)) abort();
    if (havr < 0 || havr > 255 || hdisp < 0) abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    rec = static_cast<TVchan*>(malloc(sizeof(TVchan)));
    before = static_cast<TVchan*>(malloc(sizeof(TVchan)));
    if (rec == nullptr || before == nullptr) abort();
    kx29test::reset_test_board();
    test_board().tracing = false;  // the trace would grow with every run
    base_port_29 = test_board().base;
    tv_out = 2;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in{data, size};
    memset(rec, 0, offsetof(TVchan, image));
    in.take(rec, HEADER_BYTES);
    rec->bias = in.get<int>();
    const int lev0 = in.get<int>();
    const uint8_t mode = in.get<uint8_t>();
    const short fill = in.get<short>();
    const int k = in.get<uint8_t>() % 17;
    int profile[16] = {};
    in.take(profile, sizeof(int) * static_cast<size_t>(k));
    for (int j = 0; j < KX29_MAX_COLS; ++j) rec->flat[j] = k ? profile[j % k] : 0;
    std::fill(std::begin(rec->image), std::end(rec->image), fill);

    // The frame bytes, repeated: each line continues where the previous ended.
    kx29test::TestBoard& b = test_board();
    const size_t frame_at = in.at < size ? in.at : size;
    const size_t frame_len = size - frame_at;
    size_t next = 0;
    for (int line = 0; line < KX29_MAX_LINES; ++line) {
        unsigned char* row = &b.mem[static_cast<size_t>(line) * kx29test::TestBoard::PITCH];
        if (frame_len == 0) {
            memset(row, 0, KX29_MAX_COLS);
            continue;
        }
        for (size_t col = 0; col < KX29_MAX_COLS;) {
            const size_t n = std::min(frame_len - next, KX29_MAX_COLS - col);
            memcpy(row + col, data + frame_at + next, n);
            col += n;
            next = (next + n) % frame_len;
        }
    }

    memcpy(before, rec, sizeof(TVchan));
    curch = tvch[0] = rec;
    read_frame(mode & 1, lev0, mode & 2);
    check_record();
    check_statistics();
    if (mode & 4) write_image();
    return 0;
}
