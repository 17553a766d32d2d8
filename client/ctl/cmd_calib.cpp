// kx29ctl master: combines a series of the library's FITS files into a master bias, dark or flat.
#include "ctl.h"

#include <cstdio>

namespace kx29ctl {

int run_master(const MasterCommand& o) {
    kx29::MasterOptions opt;
    opt.kind = kx29::parse_master_kind(o.kind);
    opt.method = kx29::parse_combine_method(o.method);
    opt.sigma = o.sigma;
    if (!(o.sigma > 0)) throw kx29::Error(kx29::ErrorKind::Usage, "--sigma must be above 0");
    if (kx29::require_file_type(o.output) != kx29::FileType::Fits)
        throw kx29::Error(kx29::ErrorKind::Usage, "a master is a FITS file: " + o.output);
    kx29::OutputNames({o.output}, 1, o.overwrite);  // checked before the inputs are read
    std::optional<kx29::CalibImage> bias, dark;
    if (o.bias) bias = kx29::read_master(*o.bias, kx29::MasterKind::Bias);
    if (o.dark) dark = kx29::read_master(*o.dark, kx29::MasterKind::Dark);
    opt.bias = bias ? &*bias : nullptr;
    opt.dark = dark ? &*dark : nullptr;
    if (opt.kind == kx29::MasterKind::Bias && (bias || dark))
        throw kx29::Error(kx29::ErrorKind::Usage, "a master bias is made from bias frames alone");
    if (opt.kind == kx29::MasterKind::Dark && dark)
        throw kx29::Error(kx29::ErrorKind::Usage, "a master dark takes --bias, not --dark");

    std::vector<kx29::CalibImage> frames;
    for (const auto& path : o.inputs) frames.push_back(kx29::read_calib_image(path));
    kx29::CalibImage m = kx29::make_master(frames, opt);
    kx29::save_calib_image(o.output, m, o.overwrite);
    std::printf("%s of %zu images (%s) written to %s\n", kx29::master_type_name(opt.kind), frames.size(),
                o.method.c_str(), o.output.c_str());
    return kExitOk;
}

}  // namespace kx29ctl
