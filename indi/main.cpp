// indi_kx29_ccd: the four channels of the KX29 board as INDI CCD devices. libindidriver
// supplies main() and hands every client request to the device it names.
#include "channel_ccd.h"

#include <array>
#include <memory>

namespace {

std::array<std::unique_ptr<kx29indi::ChannelCcd>, 4> make_channels() {
    std::array<std::unique_ptr<kx29indi::ChannelCcd>, 4> channels;
    for (int ch = 0; ch < 4; ++ch) channels[ch] = std::make_unique<kx29indi::ChannelCcd>(ch);
    return channels;
}

const auto channels = make_channels();

}  // namespace
