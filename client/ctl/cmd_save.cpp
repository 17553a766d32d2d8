// kx29ctl save: writes a channel's current image to FITS, PNG, PGM or raw files.
#include "ctl.h"

#include <cstdio>

namespace kx29ctl {

kx29::WriteOptions write_options(const FileOptions& f) {
    if (f.sum && f.mean) throw kx29::Error(kx29::ErrorKind::Usage, "--sum and --mean exclude each other");
    kx29::WriteOptions w;
    w.sixteen_bit = f.png16;
    w.overwrite = f.overwrite;
    w.header.type = kx29::parse_image_type(f.type);
    w.header.form = f.sum ? kx29::PixelForm::Sum : f.mean ? kx29::PixelForm::Mean : kx29::PixelForm::Record;
    for (const auto& k : f.keys) w.header.user.push_back(kx29::parse_user_key(k));
    return w;
}

int run_save(const SaveOptions& o) {
    kx29::check_channel(o.channel);
    kx29::WriteOptions w = write_options(o.files);
    kx29::OutputNames names(o.files.outputs, 1, o.files.overwrite);
    auto seg = kx29::Segment::attach(kx29::Access::ReadOnly);
    kx29::Image img = kx29::make_image(seg.view(o.channel).capture_image(),
                                       o.files.full ? kx29::Crop::Full : kx29::Crop::Window);
    if (kx29::acquiring(img.state))
        std::fprintf(stderr, "kx29ctl: channel %d is acquiring; the image is saved as it stands\n", o.channel);
    for (const auto& line : kx29::image_warnings(img))
        std::fprintf(stderr, "kx29ctl: channel %d image: %s\n", o.channel, line.c_str());
    for (const auto& out : names.paths(1)) {
        kx29::save_image(out, img, w);
        std::printf("channel %d image (%dx%d at %d,%d, %d frames, seqn %d) saved to %s\n", o.channel, img.width(),
                    img.height(), img.region.col0, img.region.lin0, img.state.nadded, img.state.seqn, out.c_str());
    }
    return kExitOk;
}

}  // namespace kx29ctl
