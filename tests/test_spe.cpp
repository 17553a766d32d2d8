// FPGA images: checksum, size rules and the messages that stop start-up.
#include <gtest/gtest.h>

#include "kx29.h"
#include "test_util.h"

namespace {

using kx29t::ScratchDir;
using kx29t::write_file;

// Points every format at `name` with the given size and sum.
void use_one_image(const char* name, int size, int sum) {
    for (ChanDef* cd : chan)
        for (SpeDef* s : {&cd->spe1, &cd->spe2}) {
            snprintf(s->name, sizeof s->name, "%s", name);
            s->size = size;
            s->sum = sum;
        }
}

TEST(Spe, GoodImagesAreHeldInEveryFormat) {
    EXPECT_EQ(spe_checksum("\xff\x01\x80\x80", 4), -256);  // signed bytes
    ScratchDir dir;
    write_file("spe/a.spe", "abc");
    use_one_image("a.spe", 3, 294);
    read_spe_files();
    EXPECT_EQ(std::string(chan3.spe2.buf, 3), "abc");

    // An absolute directory; only the first 4096 bytes of an image are read.
    const std::string abs = dir.path().string() + "/abs";
    write_file(abs + "/big.spe", std::string(5000, '\x01'));
    snprintf(spe_dir, sizeof spe_dir, "%s", abs.c_str());
    use_one_image("big.spe", 4096, 4096);
    read_spe_files();
    EXPECT_EQ(chan0.spe1.buf[4095], 1);
}

TEST(Spe, BadImagesStopStartUp) {
    const struct { const char* file; std::string content; int size, sum; const char* message; } cases[] = {
        {"a.spe", "abcd", 3, 294, "^Wrong SPE\\(a.spe\\) size: 4 \\(3 needs\\)\n$"},
        {"a.spe", "ab", 3, 294, "^Wrong SPE\\(a.spe\\) size: 2 \\(3 needs\\)\n$"},
        {"a.spe", std::string(5000, 'x'), 5000, 0, "^Wrong SPE\\(a.spe\\) size: 4096 \\(5000 needs\\)\n$"},
        {"a.spe", "abc", 3, 293, "^Wrong SPE\\(a.spe\\) checksum: 294 \\(293 needs\\)\n$"},
        {"missing.spe", "", 3, 294, "^Can't load SPE-file: spe/missing.spe\n$"},
        {"adir", "", 3, 294, "^Wrong SPE\\(adir\\) size: -1 \\(3 needs\\)\n$"},
    };
    for (const auto& c : cases) {
        ScratchDir dir;
        if (c.content.size()) write_file(std::string("spe/") + c.file, c.content);
        std::filesystem::create_directories("spe/adir");
        use_one_image(c.file, c.size, c.sum);
        EXPECT_EXIT(read_spe_files(), testing::ExitedWithCode(1), c.message);
    }
    // The first bad image in channel order is the one reported.
    ScratchDir dir;
    write_file("spe/a.spe", "abc");
    use_one_image("a.spe", 3, 294);
    snprintf(chan2.spe2.name, sizeof chan2.spe2.name, "x.spe");
    snprintf(chan3.spe1.name, sizeof chan3.spe1.name, "y.spe");
    EXPECT_EXIT(read_spe_files(), testing::ExitedWithCode(1), "^Can't load SPE-file: spe/x.spe\n$");
}

}  // namespace
