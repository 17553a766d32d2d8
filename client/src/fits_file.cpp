// The FITS encoder: the image as the record holds it (int16), as the true sum (int32) or as
// the mean frame (float32), with the acquisition described in the header.
#include "image_encoders.h"

#include <fitsio.h>

#include <cstdlib>
#include <cstring>

namespace kx29 {

namespace {

// CFITSIO calls do nothing once status is non-zero, so a run of calls is
// checked once at its end. The file is built in memory, in a buffer that
// CFITSIO grows with realloc.
class FitsWriter {
public:
    FitsWriter() {
        fits_create_memfile(&f_, &buffer_, &size_, 2880 * 64, std::realloc, &status_);
        check();
    }
    FitsWriter(const FitsWriter&) = delete;
    FitsWriter& operator=(const FitsWriter&) = delete;
    ~FitsWriter() {
        if (f_ != nullptr) {
            int ignored = 0;
            fits_close_file(f_, &ignored);
        }
        std::free(buffer_);
    }

    void image(int bitpix, long width, long height) {
        long naxes[2] = {width, height};
        fits_create_img(f_, bitpix, 2, naxes, &status_);
    }
    void card(const HeaderCard& c) {
        char* name = const_cast<char*>(c.name.c_str());
        char* comment = const_cast<char*>(c.comment.c_str());
        if (auto* b = std::get_if<bool>(&c.value)) {
            int logical = *b ? 1 : 0;
            fits_write_key(f_, TLOGICAL, name, &logical, comment, &status_);
        } else if (auto* i = std::get_if<long long>(&c.value)) {
            LONGLONG v = *i;
            fits_write_key(f_, TLONGLONG, name, &v, comment, &status_);
        } else if (auto* d = std::get_if<double>(&c.value)) {
            if (c.decimals < 0) {  // as few digits as the value needs
                double v = *d;
                fits_write_key(f_, TDOUBLE, name, &v, comment, &status_);
            } else {
                fits_write_key_fixdbl(f_, name, *d, c.decimals, comment, &status_);
            }
        } else {
            fits_write_key(f_, TSTRING, name, const_cast<char*>(std::get<std::string>(c.value).c_str()), comment,
                           &status_);
        }
    }
    void comment(const char* text) { fits_write_comment(f_, text, &status_); }
    void history(const char* text) { fits_write_history(f_, text, &status_); }
    void date() { fits_write_date(f_, &status_); }
    template <typename T>
    void pixels(int datatype, std::vector<T>& data) {
        // The stored values are written as given: BZERO is for readers.
        fits_set_bscale(f_, 1.0, 0.0, &status_);
        fits_write_img(f_, datatype, 1, static_cast<LONGLONG>(data.size()), data.data(), &status_);
    }
    std::string finish() {
        fits_write_chksum(f_, &status_);
        fits_close_file(f_, &status_);
        f_ = nullptr;
        check();
        return std::string(static_cast<const char*>(buffer_), size_);
    }
    void check() {
        if (status_ == 0) return;
        char text[FLEN_STATUS];
        fits_get_errstatus(status_, text);
        throw Error(ErrorKind::Failed, std::string("FITS: ") + text);
    }

private:
    fitsfile* f_ = nullptr;
    void* buffer_ = nullptr;
    size_t size_ = 0;
    int status_ = 0;
};

}  // namespace

std::string encode_float_fits(long width, long height, std::vector<float> pixels, const std::vector<HeaderCard>& cards,
                              const std::vector<std::string>& comments, const std::vector<std::string>& history) {
    FitsWriter w;
    w.image(FLOAT_IMG, width, height);
    w.date();
    for (const auto& card : cards) w.card(card);
    for (const auto& line : comments) w.comment(line.c_str());
    for (const auto& line : history) w.history(line.c_str());
    w.pixels(TFLOAT, pixels);
    return w.finish();
}

std::string encode_fits(const Image& img, const HeaderOptions& opt) {
    auto cards = header_cards(img, opt);  // refuses a record it can't describe
    FitsWriter w;
    // Line 0 of the video image is FITS row 1 and column 0 is FITS column 1,
    // so a pixel's FITS coordinates are its coordinates in the image plus one.
    const int bitpix = opt.form == PixelForm::Record ? SHORT_IMG : opt.form == PixelForm::Sum ? LONG_IMG : FLOAT_IMG;
    w.image(bitpix, img.width(), img.height());
    w.date();
    for (const auto& card : cards) w.card(card);
    for (const auto& line : header_comments(img, opt)) w.comment(line.c_str());
    switch (opt.form) {
    case PixelForm::Record: {
        std::vector<short> data(img.pixels.begin(), img.pixels.end());
        w.pixels(TSHORT, data);
        break;
    }
    case PixelForm::Sum: {
        std::vector<int32_t> sum = img.sum();
        std::vector<int> data(sum.begin(), sum.end());
        if (img.clipped > 0)  // BLANK marks them (see header_cards)
            for (size_t i = 0; i < data.size(); ++i)
                if (img.pixels[i] == INT16_MIN || img.pixels[i] == INT16_MAX) data[i] = INT32_MIN;
        w.pixels(TINT, data);
        break;
    }
    case PixelForm::Mean: {
        std::vector<float> data = img.mean();
        w.pixels(TFLOAT, data);
        break;
    }
    }
    return w.finish();
}

}  // namespace kx29
