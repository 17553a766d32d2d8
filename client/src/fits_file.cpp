// The FITS writer: the image as 16-bit signed data with the acquisition described in the header.
#include "kx29/image_file.h"

#include <fitsio.h>

#include <algorithm>

namespace kx29 {

namespace {

// CFITSIO calls do nothing once status is non-zero, so a run of calls is
// checked once at its end.
class FitsWriter {
public:
    explicit FitsWriter(const std::string& path) : path_(path) {
        // The disk-file variant takes the name literally: no CFITSIO
        // filename syntax ("[...]", "!", ...) is interpreted.
        fits_create_diskfile(&f_, path.c_str(), &status_);
        check();
    }
    FitsWriter(const FitsWriter&) = delete;
    FitsWriter& operator=(const FitsWriter&) = delete;
    ~FitsWriter() {
        if (f_ != nullptr) {
            int ignored = 0;
            fits_close_file(f_, &ignored);
        }
    }

    void image(long width, long height) {
        long naxes[2] = {width, height};
        fits_create_img(f_, SHORT_IMG, 2, naxes, &status_);
    }
    void key(const char* name, const std::string& value, const char* comment) {
        fits_write_key(f_, TSTRING, name, const_cast<char*>(value.c_str()), comment, &status_);
    }
    void key(const char* name, int value, const char* comment) {
        fits_write_key(f_, TINT, name, &value, comment, &status_);
    }
    void key(const char* name, double value, int decimals, const char* comment) {
        fits_write_key_fixdbl(f_, name, value, decimals, comment, &status_);
    }
    void flag(const char* name, bool value, const char* comment) {
        int logical = value ? 1 : 0;
        fits_write_key(f_, TLOGICAL, name, &logical, comment, &status_);
    }
    void comment(const char* text) { fits_write_comment(f_, text, &status_); }
    void date() { fits_write_date(f_, &status_); }
    void pixels(std::vector<short>& data) {
        fits_write_img(f_, TSHORT, 1, static_cast<LONGLONG>(data.size()), data.data(), &status_);
    }
    void close() {
        fits_write_chksum(f_, &status_);
        fits_close_file(f_, &status_);
        f_ = nullptr;
        check();
    }
    void check() {
        if (status_ == 0) return;
        char text[FLEN_STATUS];
        fits_get_errstatus(status_, text);
        throw Error(ErrorKind::Failed, "can't write " + path_ + ": " + text);
    }

private:
    std::string path_;
    fitsfile* f_ = nullptr;
    int status_ = 0;
};

}  // namespace

void write_fits(const std::string& path, const ChannelImage& img) {
    const ChannelState& s = img.state;
    FitsWriter w(path);
    // Line 0 of the video image is FITS row 1 and column 0 is FITS column 1,
    // so a pixel's FITS coordinates are its record coordinates plus one.
    w.image(s.img_width, s.img_height);

    w.key("INSTRUME", std::string("KX29"), "KX29 video frame grabber");
    w.key("CREATOR", std::string("kx29ctl"), "program that wrote this file");
    w.date();
    w.key("DATE-OBS", fits_utc_date(s.tstart), "UTC start of the image's first frame");
    w.key("EXPTIME", exposure_time(s), 3, "[s] light summed in the image, NCOMBINE frames");
    w.key("FRAMEXP", frame_exposure(s), 3, "[s] exposure of one frame");
    w.key("NCOMBINE", s.nadded, "number of frames summed into the image");
    w.key("ADDLEV", s.addlev, "sum of sub-levels subtracted from the frames");
    w.key("CHANNEL", img.channel, "video input of the grabber, 0..3");
    w.key("FORMAT", s.form, "image format loaded in the grabber, 1 or 2");
    w.key("REFLEV", s.ref_lev, "reference (black) level of the input, 0..63");
    w.key("WINCOL0", s.window.col0, "first column of the measurement window, from 0");
    w.key("WINLIN0", s.window.lin0, "first line of the measurement window, from 0");
    w.key("WINCOLS", s.window.width, "width of the measurement window in columns");
    w.key("WINLINES", s.window.height, "height of the measurement window in lines");
    w.flag("CCDCORR", (s.command & CMD_CCD) != 0, "bias/flat correction applied while reading");
    w.key("CCDBIAS", s.bias, "bias of the correction, grey levels");
    w.flag("TANDEM", s.tandem != 0, "input carries the long-exposure camera");
    w.key("SEQN", s.seqn, "sequence number of the last frame read");
    w.comment("Pixels are sums of NCOMBINE frames of 8-bit grey levels; every frame");
    w.comment("after the first had its sub-level subtracted. The mean frame is");
    w.comment("(pixel + ADDLEV) / NCOMBINE. Only the measurement window was read;");
    w.comment("pixels outside it keep earlier values. Video line 0 is FITS row 1.");

    std::vector<short> data(img.pixels.begin(), img.pixels.end());
    w.pixels(data);
    w.close();
}

}  // namespace kx29
