// kx29-mkspe: image files of the asked size and checksum, refusals of what
// cannot be made.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

struct Scratch {
    std::filesystem::path dir;
    Scratch() {
        char tmpl[] = "/tmp/kx29-mkspe-XXXXXX";
        dir = mkdtemp(tmpl);
    }
    ~Scratch() { std::filesystem::remove_all(dir); }
};

int mkspe(const std::string& args) {
    std::string cmd = std::string(KX29_BIN_DIR) + "/kx29-mkspe " + args + " 2>/dev/null";
    int status = std::system(cmd.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<signed char> read_bytes(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::vector<char> raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return {raw.begin(), raw.end()};
}

}  // namespace

TEST(SimMkspe, MakesImagesOfTheAskedSizeAndChecksum) {
    Scratch s;
    struct Case {
        long size, sum;
    };
    for (Case c : {Case{3854, 7302}, Case{3854, 8977}, Case{3854, 8109}, Case{3854, 10593}, Case{0, 0},
                   Case{1, -128}, Case{4096, 4096 * 127}, Case{4096, -4096 * 128}, Case{3, 294}}) {
        std::filesystem::path f = s.dir / ("img" + std::to_string(c.size) + "_" + std::to_string(c.sum));
        ASSERT_EQ(mkspe(f.string() + " " + std::to_string(c.size) + " " + std::to_string(c.sum)), 0) << f;
        std::vector<signed char> bytes = read_bytes(f);
        ASSERT_EQ(static_cast<long>(bytes.size()), c.size) << f;
        int sum = 0;
        for (signed char b : bytes) sum += b;
        EXPECT_EQ(sum, c.sum) << f;
        std::set<signed char> distinct(bytes.begin(), bytes.end());
        if (c.size == 3854) {
            EXPECT_GT(distinct.size(), 100u) << f;  // looks random, not a run of equal bytes
        }
    }
}

TEST(SimMkspe, RefusesWhatCannotBeMade) {
    Scratch s;
    std::string f = (s.dir / "x.spe").string();
    for (std::string args : {f + " 3854 489459", f + " 3854 -493313", f + " 0 1", f + " 4097 0", f + " -1 0",
                             f + " 12x 0", f + " 10", f + " 10 5 7", std::string()}) {
        EXPECT_EQ(mkspe(args), 2) << args;
        EXPECT_FALSE(std::filesystem::exists(f)) << args;
    }
    EXPECT_EQ(mkspe((s.dir / "no" / "dir.spe").string() + " 10 0"), 1);
}
