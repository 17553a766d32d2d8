// Messages to all records, the reference level, frame capture and the
// long-exposure camera's serial protocol on the scripted test board.
#include "kx29.h"
#include "kx29_io.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>

using namespace kx29test;

namespace {

std::unique_ptr<TVchan[]> records;

// Four zeroed records; the board answers with `script`; channel 1 is current.
void use_board(StatusScript script, unsigned char tv = 2) {
    reset_test_board();
    base_port_29 = test_board().base;
    test_board().status = std::move(script);
    tv_out = tv;
    records = std::make_unique<TVchan[]>(KX29_CHANNELS);
    for (int i = 0; i < KX29_CHANNELS; ++i) tvch[i] = &records[i];
    curch = tvch[1];
}

unsigned short port(unsigned short offset) { return static_cast<unsigned short>(test_board().base + offset); }
std::vector<unsigned char> control_writes() { return test_board().values_written(port(PORT_CONTROL)); }

// Decodes the camera line: each bit is data, data with clock, data; a word is
// eight bits LSB first followed by one idle 0.
std::vector<int> camera_words() {
    const auto w = test_board().values_written(port(PORT_CAMERA_SERIAL));
    std::vector<int> words;
    for (size_t k = 0; k + 25 <= w.size(); k += 25) {
        int word = 0;
        for (int bit = 0; bit < 8; ++bit) {
            const unsigned char b = w[k + 3 * bit];
            EXPECT_LE(b, 1);
            EXPECT_EQ(w[k + 3 * bit + 1], b | 2);
            EXPECT_EQ(w[k + 3 * bit + 2], b);
            word |= b << bit;
        }
        EXPECT_EQ(w[k + 24], 0);
        words.push_back(word);
    }
    EXPECT_EQ(w.size() % 25, 0u);
    return words;
}

// Frame boundaries (field bit 2 -> 0) the status port showed, and how many of
// them came before the first write of each camera word.
struct Boundaries {
    int total = 0;
    std::vector<int> before_word;
};

Boundaries frame_boundaries() {
    Boundaries b;
    int prev = -1, cam_writes = 0;
    for (const auto& a : test_board().trace) {
        if (!a.write && a.port == port(PORT_STATUS)) {
            if (prev == STATUS_FIELD && (a.value & STATUS_FIELD) == 0) ++b.total;
            prev = a.value & STATUS_FIELD;
        } else if (a.write && a.port == port(PORT_CAMERA_SERIAL)) {
            if (cam_writes++ % 25 == 0) b.before_word.push_back(b.total);
        }
    }
    return b;
}

// Video for the first `reads` status reads (field bit flipping on every read), then none.
StatusScript video_for(long reads) {
    return [reads](long n) -> unsigned char { return n < reads && (n & 1) ? STATUS_FIELD : 0; };
}

}  // namespace

TEST(WallMsg, CopiesAtMost99CharactersIntoEveryRecord) {
    use_board(stuck(0));
    for (auto* ch : tvch) std::memset(ch->msg, 'X', KX29_MSG_LEN);
    const std::string longer(150, 'a');
    for (const std::string& text : {longer, std::string("ab")}) {
        SCOPED_TRACE(text);
        wall_msg(text.c_str());
        for (auto* ch : tvch) {
            const std::string kept = text.substr(0, 99);
            EXPECT_EQ(std::string(ch->msg, kept.size()), kept);
            for (size_t k = kept.size(); k < 99; ++k) EXPECT_EQ(ch->msg[k], 0) << k;
            EXPECT_EQ(ch->msg[99], 'X');  // the last byte is never written
        }
    }
    for (auto* ch : tvch) EXPECT_EQ(ch->seqmsg, 2);
}

TEST(RefLevel, RegisterWritesEachFollowedByABusPause) {
    struct Case {
        int high;
        unsigned char reg1;
        const char* printed;
    } cases[] = {{70, 24, "set_ref_lev(6)\n"}, {-1, 252, "set_ref_lev(63)\n"}, {60, 240, "set_ref_lev(60)\n"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.high);
        use_board(stuck(0));
        testing::internal::CaptureStdout();
        set_ref_lev(c.high);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.printed);
        const std::vector<std::pair<unsigned short, unsigned char>> registers = {
            {PORT_IREG_SELECT, 1}, {PORT_IREG_DATA, c.reg1}, {PORT_IREG_SELECT, 2},
            {PORT_IREG_DATA, 0},   {PORT_IREG_SELECT, 0}};
        const auto& t = test_board().trace;
        ASSERT_EQ(t.size(), 2 * registers.size());
        for (size_t k = 0; k < registers.size(); ++k) {
            EXPECT_TRUE(t[2 * k].write && t[2 * k].port == port(registers[k].first));
            EXPECT_EQ(t[2 * k].value, registers[k].second);
            EXPECT_TRUE(t[2 * k + 1].write && t[2 * k + 1].port == PORT_IO_DELAY);
        }
    }
}

TEST(Camera, WordBitsGoOutLsbFirstWithTheirClock) {
    use_board(stuck(0));
    setTamdem(0, 1, 1);
    const std::vector<unsigned char> expected = {0, 2, 0, 1, 3, 1, 1, 3, 1, 0, 2, 0, 1, 3, 1,
                                                 1, 3, 1, 1, 3, 1, 1, 3, 1, 0};
    EXPECT_EQ(test_board().values_written(port(PORT_CAMERA_SERIAL)), expected);
    EXPECT_EQ(test_board().trace.size(), expected.size());

    struct Case {
        int sync_mode, acc_start, acc_type, word;
    } cases[] = {{0, 0, 1, 0xF4}, {0, 1, 1, 0xF6}, {1, 0, 1, 0xF5}, {1, 0, 0, 0xF1}, {3, 2, 5, 0xF5}};
    for (const auto& c : cases) {
        use_board(stuck(0));
        setTamdem(c.sync_mode, c.acc_start, c.acc_type);
        EXPECT_EQ(camera_words(), std::vector<int>{c.word}) << c.sync_mode << c.acc_start << c.acc_type;
    }
}

TEST(Capture, ResultControlStatesAndPolls) {
    // Field changes after the first read; the busy bit (8) clears after a few polls.
    auto busy_then_done = [](long n) -> unsigned char { return n == 0 ? 0 : n <= 5 ? 10 : n <= 8 ? 2 : 0; };
    struct Case {
        const char* name;
        StatusScript script;
        unsigned char tv;
        int result;
        std::vector<unsigned char> control;
        long reads;
    } cases[] = {
        {"no video: the board is not touched", stuck(0), 2, 1, {}, 40000},
        {"captured", busy_then_done, 2, 0, {3, 0}, 10},
        {"captured on a version-1 board", busy_then_done, 0, 0, {1, 0}, 10},
        {"busy never clears", [](long n) -> unsigned char { return n ? 10 : 0; }, 2, 2, {3}, 2 + 39999},
        {"final field change missing", [](long n) -> unsigned char { return n ? 2 : 0; }, 2, 0, {3, 0}, 3 + 40000},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        use_board(c.script, c.tv);
        EXPECT_EQ(inputFrame29(), c.result);
        EXPECT_EQ(control_writes(), c.control);
        EXPECT_EQ(test_board().writes_except_delay().size(), c.control.size());
        EXPECT_EQ(test_board().reads_of(port(PORT_STATUS)), c.reads);
    }
}

TEST(LongExposure, CameraWordsControlAndResultPerPath) {
    struct Case {
        const char* name;
        StatusScript script;
        double sec;
        int result;
        std::vector<int> words;
        std::vector<unsigned char> control;
    } cases[] = {
        {"no video", stuck(0), 1.0, 1, {0xF4, 0xF1}, {}},
        {"frame boundary lost in the countdown", video_for(11), 1.0, 1, {0xF4, 0xF6, 0xF1}, {}},
        {"frame boundary lost in the grab", video_for(3), 0.0, 1, {0xF4, 0xF6, 0xF5, 0xF1}, {3}},
        {"no countdown for a short time", toggling(1), 0.01, 0, {0xF4, 0xF6, 0xF5, 0xF1}, {3, 0}},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        use_board(c.script);
        curch->command = CMD_ACQUIRE;
        EXPECT_EQ(inputFrameTandem(c.sec), c.result);
        EXPECT_EQ(camera_words(), c.words);
        EXPECT_EQ(control_writes(), c.control);
        for (auto* ch : tvch)
            EXPECT_STREQ(ch->msg, c.result ? "Tandem Exposure: FAIL" : "Tandem Exposure: Ok");
    }
}

TEST(LongExposure, OneSecondCountsDownTwentyFiveFrames) {
    // Record every distinct message posted while the exposure runs.
    std::vector<std::string> posted;
    use_board(nullptr);
    test_board().status = [&posted](long n) -> unsigned char {
        if (tvch[0]->seqmsg != static_cast<int>(posted.size())) posted.emplace_back(tvch[0]->msg);
        return (n & 1) ? STATUS_FIELD : 0;
    };
    curch->command = CMD_ACQUIRE | CMD_CCD;
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(inputFrameTandem(1.0), 0);
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();

    EXPECT_EQ(posted, (std::vector<std::string>{"Tandem Exposure: 1.0", "Tandem Exposure: 0.0"}));
    for (auto* ch : tvch) {
        EXPECT_STREQ(ch->msg, "Tandem Exposure: Ok");
        EXPECT_EQ(ch->seqmsg, 3);
    }
    const Boundaries b = frame_boundaries();
    EXPECT_EQ(b.total, 27);  // one before integrating, 25 steps, one for the grab
    // Integration starts at the first boundary and ends after the 26th.
    EXPECT_EQ(b.before_word, (std::vector<int>{0, 1, 26, 27}));
    EXPECT_EQ(camera_words(), (std::vector<int>{0xF4, 0xF6, 0xF5, 0xF1}));
    EXPECT_EQ(control_writes(), (std::vector<unsigned char>{3, 0}));
    EXPECT_GE(took, 23 * 0.021 + 0.061);  // 23 steps sleep, then the delivery pause
}

TEST(LongExposure, ClearingAcquireEndsTheCountdownAndStillGrabs) {
    use_board(nullptr);
    int boundaries = 0;
    unsigned char prev = 0;
    test_board().status = [&](long n) -> unsigned char {
        const unsigned char v = (n & 1) ? STATUS_FIELD : 0;
        if (prev && !v && ++boundaries == 3) cmd_clear_bits(curch, CMD_ACQUIRE);  // client stops
        prev = v;
        return v;
    };
    curch->command = CMD_ACQUIRE;
    EXPECT_EQ(inputFrameTandem(10.0), 0);
    EXPECT_EQ(frame_boundaries().total, 4);  // two countdown steps ran, then the grab
    EXPECT_EQ(camera_words(), (std::vector<int>{0xF4, 0xF6, 0xF5, 0xF1}));
    EXPECT_EQ(control_writes(), (std::vector<unsigned char>{3, 0}));
    EXPECT_STREQ(tvch[2]->msg, "Tandem Exposure: Ok");
}
