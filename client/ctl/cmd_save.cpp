// kx29ctl save: writes a channel's current image to FITS, PNG, PGM or raw files.
#include "ctl.h"

#include <cstdio>

namespace kx29ctl {

int run_save(const SaveOptions& o) {
    kx29::check_channel(o.channel);
    for (const auto& out : o.outputs) kx29::require_file_type(out);
    auto seg = kx29::Segment::attach(kx29::Access::ReadOnly);
    kx29::ChannelImage img = seg.view(o.channel).capture_image();
    if ((img.state.command & CMD_ACQUIRE) && img.state.nexp != 0 && img.state.nadd != 0)
        std::fprintf(stderr, "kx29ctl: channel %d is acquiring; the image is saved as it stands\n", o.channel);
    for (const auto& out : o.outputs) {
        kx29::save_image(out, img, {o.png16});
        std::printf("channel %d image (%dx%d, %d frames, seqn %d) saved to %s\n", o.channel, img.state.img_width,
                    img.state.img_height, img.state.nadded, img.state.seqn, out.c_str());
    }
    return kExitOk;
}

}  // namespace kx29ctl
