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

TEST(Spe, ChecksumSumsSignedBytes) {
    EXPECT_EQ(spe_checksum("abc", 3), 294);
    EXPECT_EQ(spe_checksum("\xff\x01", 2), 0);
    EXPECT_EQ(spe_checksum("\x80\x80", 2), -256);
}

TEST(Spe, GoodImagesAreHeldInEveryFormat) {
    ScratchDir dir;
    write_file("spe/a.spe", "abc");
    use_one_image("a.spe", 3, 294);
    read_spe_files();
    EXPECT_EQ(std::string(chan3.spe2.buf, 3), "abc");

    write_file("spe/empty.spe", "");
    use_one_image("empty.spe", 0, 0);
    read_spe_files();

    std::string big(5000, '\x01');
    write_file("/tmp/" + dir.path().filename().string() + "-abs/big.spe", big);
    snprintf(spe_dir, sizeof spe_dir, "/tmp/%s-abs", dir.path().filename().c_str());
    use_one_image("big.spe", 4096, 4096);  // only the first 4096 bytes are read
    read_spe_files();
    std::filesystem::remove_all(spe_dir);
}

struct BadCase {
    std::string content;
    int size;
    int sum;
    const char* message;
};

TEST(Spe, BadImagesStopStartUp) {
    const BadCase cases[] = {
        {"abcd", 3, 294, "^Wrong SPE\\(a.spe\\) size: 4 \\(3 needs\\)\n$"},
        {"ab", 3, 294, "^Wrong SPE\\(a.spe\\) size: 2 \\(3 needs\\)\n$"},
        {std::string(5000, 'x'), 5000, 0, "^Wrong SPE\\(a.spe\\) size: 4096 \\(5000 needs\\)\n$"},
        {"abc", 3, 293, "^Wrong SPE\\(a.spe\\) checksum: 294 \\(293 needs\\)\n$"},
    };
    for (const auto& c : cases) {
        ScratchDir dir;
        write_file("spe/a.spe", c.content);
        use_one_image("a.spe", c.size, c.sum);
        EXPECT_EXIT(read_spe_files(), testing::ExitedWithCode(1), c.message);
    }
}

TEST(Spe, UnreadableImagesStopStartUp) {
    ScratchDir dir;
    use_one_image("missing.spe", 3, 294);
    EXPECT_EXIT(read_spe_files(), testing::ExitedWithCode(1), "^Can't load SPE-file: spe/missing.spe\n$");

    std::filesystem::create_directories("spe/adir");
    use_one_image("adir", 3, 294);
    EXPECT_EXIT(read_spe_files(), testing::ExitedWithCode(1), "^Wrong SPE\\(adir\\) size: -1 \\(3 needs\\)\n$");
}

TEST(Spe, FirstBadImageInChannelOrderIsReported) {
    ScratchDir dir;
    write_file("spe/a.spe", "abc");
    use_one_image("a.spe", 3, 294);
    snprintf(chan2.spe2.name, sizeof chan2.spe2.name, "x.spe");
    snprintf(chan3.spe1.name, sizeof chan3.spe1.name, "y.spe");
    EXPECT_EXIT(read_spe_files(), testing::ExitedWithCode(1), "^Can't load SPE-file: spe/x.spe\n$");
}

}  // namespace
