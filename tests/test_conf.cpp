// The configuration file: separators, comments, pieces, conversions, reports.
#include <gtest/gtest.h>

#include "kx29.h"
#include "test_util.h"

namespace {

using kx29t::ScratchDir;

std::string read_conf_from(const std::string& text) {
    kx29t::write_file("kx29.conf", text);
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
        const int saved = *c.field;
        *c.field = c.value;
        testing::internal::CaptureStderr();
        EXPECT_EQ(check_conf_geometry(), c.report ? 1 : 0) << c.value;
        const std::string err = testing::internal::GetCapturedStderr();
        *c.field = saved;
        EXPECT_TRUE(c.report ? err.find(c.report) != std::string::npos : err.empty()) << err;
    }
}

}  // namespace
