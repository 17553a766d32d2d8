// The configuration file: separators, comments, pieces, conversions, reports.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>

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

struct IntCase {
    const char* text;
    int expected;
};

TEST(Conf, NameValueSeparatorsAndIntConversions) {
    const IntCase cases[] = {
        {"base_addr=0x300\n", 768},    {"base_addr 0x300\n", 768},   {"base_addr\t0x300\n", 768},
        {"base_addr= 0x300\n", 768},   {"  base_addr 0x300\n", 768}, {"base_addr 0768\n", 62},
        {"base_addr -12\n", -12},      {"base_addr = 512\n", 0},     {"base_addr =512\n", 0},
        {"base_addr 0x200 # old board\n", 512}, {"base_addr abc\n", 0}, {"base_addr 1\nbase_addr 2", 2},
    };
    for (const auto& c : cases) {
        ScratchDir dir;
        base_addr = 0x300;
        EXPECT_EQ(read_conf_from(c.text), "") << c.text;
        EXPECT_EQ(base_addr, c.expected) << c.text;
    }
}

struct ReportCase {
    const char* text;
    const char* report;
};

TEST(Conf, ReportsShowTheLineAsTokenisingLeftIt) {
    const ReportCase cases[] = {
        {"\n", "Wrong conf.parameter: \n\n"},
        {" \t\n", "Wrong conf.parameter:  \t\n\n"},
        {"   # indented comment\n", "Wrong conf.parameter:    \n"},
        {"no_such_key 5\n", "Wrong conf.parameter: no_such_key\n"},
        {"Base_addr 0x200\n", "Wrong conf.parameter: Base_addr\n"},
        {"base_addr\n", "Wrong conf.parameter: base_addr\n\n"},
        {"base_addr   \n", "Wrong conf.parameter: base_addr\n"},
        {"# comment\n#\n", ""},
    };
    for (const auto& c : cases) {
        ScratchDir dir;
        base_addr = 0x300;
        EXPECT_EQ(read_conf_from(c.text), c.report) << c.text;
        EXPECT_EQ(base_addr, 0x300) << c.text;
    }
}

TEST(Conf, LongLinesAreReadInPiecesOf78Characters) {
    ScratchDir dir;
    // A comment line of 100 characters: only its first piece is a comment.
    std::string comment = "#" + std::string(77, 'c') + std::string(22, 'x') + "\n";
    EXPECT_EQ(read_conf_from(comment), "Wrong conf.parameter: " + std::string(22, 'x') + "\n\n");

    // The second piece of a long line is a line of its own and may set a key.
    std::string line = "spe_dir " + std::string(70, 'd') + "base_addr 0x100\n";
    EXPECT_EQ(read_conf_from(line), "");
    EXPECT_EQ(std::string(spe_dir), std::string(70, 'd'));
    EXPECT_EQ(base_addr, 0x100);
}

TEST(Conf, TextValuesAndTheTable) {
    ScratchDir dir;
    EXPECT_EQ(read_conf_from("spe_dir = \nchan3.spe2.name other.spe\nchan2.lines2 100\n"), "");
    EXPECT_STREQ(spe_dir, "=");
    EXPECT_STREQ(chan3.spe2.name, "other.spe");
    EXPECT_EQ(chan2.lines2, 100);
    EXPECT_STREQ(chan[1]->spe1.name, "lexpa.spe");  // untouched defaults stay

    int rows = 0;
    while (conf[rows].name != nullptr) ++rows;
    EXPECT_EQ(rows, 47);
    EXPECT_STREQ(conf[3].name, "chan0.tandem");
    EXPECT_STREQ(conf[46].name, "chan3.lines2");
}

TEST(Conf, ExampleFileStatesEveryDefault) {
    ScratchDir dir;
    std::ifstream example(KX29_SOURCE_DIR "/examples/kx29.conf");
    std::string text((std::istreambuf_iterator<char>(example)), std::istreambuf_iterator<char>());
    ASSERT_FALSE(text.empty());
    const std::string before = snapshot_settings();
    for (ConfParam* p = conf; p->name != nullptr; ++p) {  // forget the defaults
        if (p->type == 'i') *p->addr.i = -12345;
        if (p->type == 's') p->addr.s[0] = '\0';
    }
    EXPECT_EQ(read_conf_from(text), "");
    EXPECT_EQ(snapshot_settings(), before);
}

TEST(Conf, MissingFileEndsWithErrno) {
    ScratchDir dir;
    EXPECT_EXIT(read_conf(), testing::ExitedWithCode(ENOENT),
                "^Can't read config.file: kx29.conf : No such file or directory\n$");
}

TEST(Conf, GeometryOfEveryFormatIsChecked) {
    EXPECT_EQ(check_conf_geometry(), 0);
    struct {
        int* field;
        int value;
        const char* key;
    } cases[] = {
        {&chan0.cols1, 0, "chan0.cols1 = 0"},
        {&chan1.cols2, 769, "chan1.cols2 = 769"},
        {&chan2.lines1, -5, "chan2.lines1 = -5"},
        {&chan3.lines2, 577, "chan3.lines2 = 577"},  // 512 x 577 fits, 768 x 577 would not
    };
    for (auto& c : cases) {
        int saved = *c.field;
        *c.field = c.value;
        testing::internal::CaptureStderr();
        int bad = check_conf_geometry();
        std::string err = testing::internal::GetCapturedStderr();
        *c.field = saved;
        if (c.field == &chan3.lines2) {
            EXPECT_EQ(bad, 0);
            continue;
        }
        EXPECT_EQ(bad, 1) << c.key;
        EXPECT_NE(err.find(c.key), std::string::npos) << err;
    }
    chan0.lines1 = 577;  // 768 x 577 > 442368
    testing::internal::CaptureStderr();
    EXPECT_EQ(check_conf_geometry(), 1);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("chan0.lines1 = 577"), std::string::npos);
}

}  // namespace
