// libFuzzer target: read_frame and write_image on the test board with
// arbitrary record contents (geometry, window, bias, flat profile), sub-level,
// mode and frame bytes. The record is a heap block of exactly one TVchan, so
// AddressSanitizer sees any access beyond it. Besides the sanitizers' findings
// it fails when the readout changes a record field before the flat profile,
// changes a flat entry other than raising one below 1 to 1, writes pixels
// beyond the image of a valid geometry or outside a window that lies inside
// it, or leaves statistics out of range.
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

// Copies the next n input bytes to `out`, zeros past the end.
void take(const uint8_t* data, size_t size, size_t& at, void* out, size_t n) {
    for (size_t i = 0; i < n; ++i, ++at) static_cast<uint8_t*>(out)[i] = at < size ? data[at] : 0;
}

void check() {
    if (memcmp(rec, before, offsetof(TVchan, flat)) != 0) abort();  // fields from num to bias
    for (int j = 0; j < KX29_MAX_COLS; ++j)
        if (rec->flat[j] != before->flat[j] && !(before->flat[j] < 1 && rec->flat[j] == 1)) abort();
    const long long w = before->img_width, h = before->img_height;
    if (w >= 1 && w <= KX29_MAX_COLS && h >= 1 && w * h <= KX29_IMAGE_PIXELS &&
        memcmp(rec->image + w * h, before->image + w * h, sizeof(short) * (KX29_IMAGE_PIXELS - w * h)) != 0)
        abort();
    const long long j0 = before->frm_col0, i0 = before->frm_lin0, jn = j0 + before->frm_width, in = i0 + before->frm_height;
    if (w >= 1 && w <= KX29_MAX_COLS && h >= 1 && w * h <= KX29_IMAGE_PIXELS && j0 >= 0 && i0 >= 0 && jn <= w && in <= h &&
        jn > j0 && in > i0)
        for (long long p = 0; p < w * h; ++p)
            if ((p / w < i0 || p / w >= in || p % w < j0 || p % w >= jn) && rec->image[p] != before->image[p]) abort();
    if (imin < 0 || imin > 255 || imax < 0 || imax > 255 || hmax < 0 || hmax > 255) abort();
    if (!std::isfinite(hmed) || !std::isfinite(hdisp) || !(havr >= 0 && havr <= 255) || hdisp < 0) abort();
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
    size_t at = 0;
    memset(rec, 0, offsetof(TVchan, image));
    take(data, size, at, rec, offsetof(TVchan, msg));
    int lev0, profile[16] = {};
    uint8_t mode, k;
    short fill;
    take(data, size, at, &rec->bias, sizeof rec->bias);
    take(data, size, at, &lev0, sizeof lev0);
    take(data, size, at, &mode, sizeof mode);
    take(data, size, at, &fill, sizeof fill);
    take(data, size, at, &k, 1);
    take(data, size, at, profile, sizeof(int) * (k % 17));
    for (int j = 0; j < KX29_MAX_COLS; ++j) rec->flat[j] = k % 17 ? profile[j % (k % 17)] : 0;
    std::fill(std::begin(rec->image), std::end(rec->image), fill);
    // The frame bytes, repeated: each line continues where the previous ended.
    auto& mem = test_board().mem;
    for (size_t line = 0, k = 0; line < KX29_MAX_LINES; ++line)
        for (size_t col = 0; col < KX29_MAX_COLS; ++col, ++k)
            mem[line * kx29test::TestBoard::PITCH + col] = at < size ? data[at + k % (size - at)] : 0;

    memcpy(before, rec, sizeof(TVchan));
    curch = tvch[0] = rec;
    read_frame(mode & 1, lev0, mode & 2);
    check();
    if (mode & 4) write_image();
    return 0;
}
