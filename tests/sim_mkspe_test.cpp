// kx29-mkspe: images of the asked size and checksum, refusals of what cannot
// be made.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/wait.h>
#include <vector>

namespace {

// Runs the tool; its exit status.
int mkspe(const std::string& args) {
    const std::string cmd = std::string(KX29_BIN_DIR) + "/kx29-mkspe " + args + " 2>/dev/null";
    const int status = std::system(cmd.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

// Made: a file of SIZE bytes whose signed sum is SUM. Sums one past what the
// bytes can reach, sizes out of range and bad arguments: status 2, no file.
TEST(SimMkspe, MakesTheAskedChecksumOrRefuses) {
    char dir[] = "/tmp/kx29-mkspe-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string x = std::string(dir) + "/x";
    using Case = std::pair<const char*, int>;  // arguments, status
    for (auto [args, status] : {Case{"3854 7302", 0}, {"3854 10593", 0}, {"0 0", 0}, {"1 -128", 0}, {"3 294", 0},
                                {"4096 520192", 0}, {"4096 -524288", 0}, {"3854 489459", 2}, {"3854 -493313", 2},
                                {"0 1", 2}, {"4097 0", 2}, {"-1 0", 2}, {"12x 0", 2}, {"10", 2}, {"10 5 7", 2}}) {
        EXPECT_EQ(mkspe(x + " " + args), status) << args;
        long size = -1, sum = 0;
        if (status != 0 || std::sscanf(args, "%ld %ld", &size, &sum) != 2) {
            EXPECT_FALSE(std::filesystem::exists(x)) << args;
            continue;
        }
        std::ifstream in(x, std::ios::binary);
        const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::filesystem::remove(x);
        EXPECT_EQ(static_cast<long>(bytes.size()), size) << args;
        for (char b : bytes) sum -= static_cast<signed char>(b);
        EXPECT_EQ(sum, 0) << args;
    }
    EXPECT_EQ(mkspe(std::string(dir) + "/no/x 10 0"), 1);  // a file that cannot be written
    std::filesystem::remove_all(dir);
}
