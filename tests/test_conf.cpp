// The configuration file (separators, comments, pieces, conversions, reports)
// and the FPGA images (checksum, size rules and the messages that stop start-up).
#include <gtest/gtest.h>

#include <utility>

#include "kx29.h"
#include "test_util.h"

namespace {

using kx29t::ScratchDir;
using kx29t::write_file;

std::string read_conf_from(const std::string& text) {
    write_file("kx29.conf", text);
    testing::internal::CaptureStderr();
    read_conf();
    return testing::internal::GetCapturedStderr();
}

// Every configurable value as text, to compare settings as a whole.
std::string snapshot_settings() {
    std::string all;
    for (const ConfParam* p = conf; p->name != nullptr; ++p)
        all += std::string(p->name) + "=" + (p->type == 'i' ? std::to_string(*p->addr.i) : std::string(p->addr.s)) + "\n";
    return all;
}

// Each file starts from base_addr 0x300; a report shows the line as the
// tokeniser left it. A line longer than 78 characters is read in pieces, and
// a later piece is a line of its own.
TEST(Conf, LinesReportsAndConversions) {
    const std::string piece2 = std::string(22, 'x');
    const struct { std::string text, report; int base_addr; } cases[] = {
        {"base_addr=0x300\n", "", 768},       {"base_addr\t0x300\n", "", 768},    {"base_addr= 0x300\n", "", 768},
        {"  base_addr 0x300\n", "", 768},     {"base_addr 0768\n", "", 62},       {"base_addr -12\n", "", -12},
        {"base_addr = 512\n", "", 0},         {"base_addr =512\n", "", 0},        {"base_addr abc\n", "", 0},
        {"base_addr 0x200 # old board\n", "", 512}, {"base_addr 1\nbase_addr 2", "", 2},
        {"# comment\n#\n", "", 768},          {"\n", "Wrong conf.parameter: \n\n", 768},
        {" \t\n", "Wrong conf.parameter:  \t\n\n", 768},
        {"   # indented comment\n", "Wrong conf.parameter:    \n", 768},
        {"no_such_key 5\n", "Wrong conf.parameter: no_such_key\n", 768},
        {"Base_addr 0x200\n", "Wrong conf.parameter: Base_addr\n", 768},
        {"base_addr\n", "Wrong conf.parameter: base_addr\n\n", 768},
        {"base_addr   \n", "Wrong conf.parameter: base_addr\n", 768},
        {"#" + std::string(77, 'c') + piece2 + "\n", "Wrong conf.parameter: " + piece2 + "\n\n", 768},
        {"spe_dir " + std::string(70, 'd') + "base_addr 0x100\n", "", 256},
    };
    for (const auto& c : cases) {
        ScratchDir dir;
        base_addr = 0x300;
        EXPECT_EQ(read_conf_from(c.text), c.report) << c.text;
        EXPECT_EQ(base_addr, c.base_addr) << c.text;
    }
    EXPECT_EQ(std::string(spe_dir), std::string(70, 'd'));  // the first piece of the last case
}

// The example file names every key, text and number, each with its
// compiled-in default.
TEST(Conf, ExampleFileStatesEveryDefault) {
    ScratchDir dir;
    const std::string before = snapshot_settings();
    for (ConfParam* p = conf; p->name != nullptr; ++p) {  // forget the defaults
        if (p->type == 'i') *p->addr.i = -12345;
        if (p->type == 's') p->addr.s[0] = '\0';
    }
    EXPECT_EQ(read_conf_from(kx29t::read_file(KX29_SOURCE_DIR "/examples/kx29.conf")), "");
    EXPECT_EQ(snapshot_settings(), before);
}

TEST(Conf, MissingFileEndsWithErrno) {
    ScratchDir dir;
    EXPECT_EXIT(read_conf(), testing::ExitedWithCode(ENOENT),
                "^Can't read config.file: kx29.conf : No such file or directory\n$");
}

// Every format must fit the record: 768 columns and 442368 pixels at most.
TEST(Conf, GeometryOfEveryFormatIsChecked) {
    EXPECT_EQ(check_conf_geometry(), 0);
    const struct { int* field; int value; const char* report; } cases[] = {  // report nullptr: accepted
        {&chan0.cols1, 0, "chan0.cols1 = 0"},       {&chan1.cols2, 769, "chan1.cols2 = 769"},
        {&chan2.lines1, -5, "chan2.lines1 = -5"},   {&chan0.lines1, 577, "chan0.lines1 = 577"},  // 768 x 577
        {&chan3.lines2, 577, nullptr},              // 512 x 577 fits
    };
    for (const auto& c : cases) {
        const int saved = std::exchange(*c.field, c.value);
        testing::internal::CaptureStderr();
        EXPECT_EQ(check_conf_geometry(), c.report ? 1 : 0) << c.value;
        const std::string err = testing::internal::GetCapturedStderr();
        *c.field = saved;
        EXPECT_TRUE(c.report ? err.find(c.report) != std::string::npos : err.empty()) << err;
    }
}

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
