// The shared segment: key, creation with initial values, attachment, the
// single-instance guard and the PID word.
#include <gtest/gtest.h>

#include <csignal>
#include <sys/wait.h>
#include <tuple>
#include <vector>

#include "kx29.h"
#include "test_util.h"

namespace {

TEST(Key, FourPrintableCharactersReadLittleEndian) {
    ShmKey k{};
    EXPECT_TRUE(kx29_key_from_text("KX29", &k) && k.code == 0x3932584b && std::string(k.name) == "KX29") << k.code;
    for (const char* bad : {"", "KX2", "KX299", "KX\t9", "KX\x7f" "9", "KX2\n"})
        EXPECT_FALSE(kx29_key_from_text(bad, &k)) << bad;
}

class Segment : public testing::Test {
protected:
    void SetUp() override {
        key_ = kx29t::unique_key();
        kx29_key_from_text(key_.c_str(), &shm_key);
    }
    void TearDown() override {
        if (shm_addr != nullptr) shmdt(shm_addr);
        kx29t::remove_segment(key_);
    }
    // Forgets the attachment as a restarted daemon would.
    void restart() {
        shmdt(shm_addr);
        shm_addr = nullptr;
        curch = tandch = nullptr;
    }
    std::string attach() {
        testing::internal::CaptureStderr();
        get_sh_mem();
        return testing::internal::GetCapturedStderr();
    }
    int& pid_word() { return *reinterpret_cast<int*>(shm_addr + shm_size); }

    std::string key_;
};

// Records numbered, channel 1 the tandem one, the geometry and settings of
// the configuration, counters zero, and a ramp pattern across each line of the
// configured width (here channel 2 narrowed to 512 columns).
TEST_F(Segment, CreationFillsEveryRecordFromTheConfiguration) {
    chan2.cols1 = 512;
    std::string err = attach();
    EXPECT_EQ(err.rfind("Create shared memory segment '" + key_ + "' 3552016bytes at ", 0), 0u) << err;
    EXPECT_EQ(err.substr(err.size() - 2), " \n");
    EXPECT_TRUE(pid_word() == getpid() && curch == tvch[0] && tandch == nullptr);  // no tandem record yet
    for (int i = 0; i < 4; ++i) {
        const TVchan* r = tvch[i];
        const int w = i == 2 ? 512 : 768, h = i == 1 ? 576 : 512;
        const double exposure = r->exposure;  // a packed double: copied before use
        EXPECT_EQ(reinterpret_cast<const unsigned char*>(r), shm_addr + i * 888004);
        EXPECT_EQ((std::vector<int>{r->num, r->tandem, r->img_width, r->frm_width, r->img_height, r->frm_height,
                                    r->next_form, r->form, r->ref_lev, r->tstart - r->tcurr, r->flat[0], r->flat[767]}),
                  (std::vector<int>{i, i == 1, w, w, h, h, 1, 1, 60, 0, 1, 1}));
        EXPECT_TRUE((r->command | r->nexp | r->nadd | r->seqn | r->seqmsg | r->bias | r->activ) == 0 && exposure == 0.04);
        EXPECT_EQ((std::vector<int>{r->image[0], r->image[w - 1], r->image[w], r->image[442367]}),
                  (std::vector<int>{-100, w - 101, -100, 442367 % w - 100}));
    }
}

TEST_F(Segment, RestartAttachesKeepsRecordsAndStartsOnTheTandemRecord) {
    attach();
    tvch[3]->tandem = 1;  // with several, the highest-numbered wins
    tvch[0]->seqn = 42;
    pid_word() = 0;  // clean shutdown
    restart();
    chan0.cols1 = 100;  // the configuration no longer reaches existing records

    std::string err = attach();
    EXPECT_EQ(err.rfind("Attach shared memory segment '" + key_ + "' 3552016bytes at ", 0), 0u) << err;
    EXPECT_EQ(std::make_tuple(curch, tandch, tvch[0]->seqn, tvch[0]->img_width, pid_word()),
              std::make_tuple(tvch[3], tvch[3], 42, 768, getpid()));

    EXPECT_EQ(attach(), "");  // a second call changes and prints nothing
    EXPECT_EQ(curch, tvch[3]);
}

// A running daemon refuses the start at once; a starting one (its negative
// PID) is waited for until it runs, and then refuses it.
TEST_F(Segment, LiveDaemonRefusesTheStartAndKeepsItsPid) {
    attach();
    for (const bool starting : {false, true}) {
        pid_t other = fork();
        if (other == 0) {  // shares the attachment: publishes its PID after a while
            usleep(300000);
            pid_word() = getpid();
            pause();
            _exit(0);
        }
        pid_word() = starting ? -other : other;
        restart();
        EXPECT_EXIT(get_sh_mem(), testing::ExitedWithCode(1),
                    "kx29 daemon already running! \\(PID=" + std::to_string(other) + "\\)\n$")
            << (starting ? "starting" : "running");
        shm_addr = static_cast<unsigned char*>(shmat(shmget(shm_key.code, 0, 0), nullptr, 0));
        EXPECT_EQ(pid_word(), other);
        kill(other, SIGKILL);
        waitpid(other, nullptr, 0);
    }
}

// Left by a killed daemon, by one killed while starting, and by a daemon of an
// earlier PID namespace that had our PID: all stale.
TEST_F(Segment, StalePidIsOverwritten) {
    attach();
    pid_t gone = fork();
    if (gone == 0) _exit(0);
    waitpid(gone, nullptr, 0);
    for (int stale : {static_cast<int>(gone), -static_cast<int>(gone), static_cast<int>(getpid())}) {
        pid_word() = stale;
        restart();
        attach();
        EXPECT_EQ(pid_word(), getpid()) << stale;
    }
}

TEST_F(Segment, WrongSizedSegmentIsAnError) {
    int id = shmget(shm_key.code, 1000, IPC_CREAT | 0600);
    ASSERT_GE(id, 0);
    EXPECT_EXIT(get_sh_mem(), testing::ExitedWithCode(EINVAL),
                "^Can't create shared memory segment '" + key_ + "': Invalid argument\n$");
}

}  // namespace
