// The shared segment: key, creation with initial values, attachment, the
// single-instance guard and the PID word.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <grp.h>
#include <sys/prctl.h>
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
    EXPECT_EQ(err.substr(err.find('\n') - 1, 2), " \n");
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
    for (const int word : {getpid(), 1}) {  // an ending daemon clears its own PID only
        pid_word() = word;
        EXPECT_EXIT(kx29_exit(SIGTERM), testing::ExitedWithCode(SIGTERM), "");
        EXPECT_EQ(pid_word(), word == 1 ? 1 : 0);
    }
}

// A child of the test, ready once it has detached the segment (a stranger),
// taken a daemon's name, or ended unreaped (a zombie; kill(pid, 0) still
// succeeds on it). Else it waits, attached as the fork left it.
pid_t child(bool attached, bool named, bool ends) {
    int ready[2];
    if (pipe(ready) != 0) return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlives a test that ended early
        if (!attached) shmdt(shm_addr);
        if (named) prctl(PR_SET_NAME, "kx29d-test");
        if (ends) _exit(0);
        (void)!write(ready[1], "r", 1);
        pause();
        _exit(0);
    }
    char c;
    close(ready[1]);
    (void)!read(ready[0], &c, 1);
    close(ready[0]);
    while (ends && kx29t::read_file("/proc/" + std::to_string(pid) + "/stat").find(") Z") == std::string::npos) usleep(1000);
    return pid;
}

// What the PID word may hold when a daemon starts. Only a live process with
// a daemon's name and this segment attached refuses the start, and keeps
// the word; anything else is stale and overwritten. A client of another user
// (nobody, when we are root) may not read our processes' maps: kx29ctl status
// takes a live process not named otherwise for the daemon when some other
// process has the segment attached, so it agrees. CHILD stands for the row's
// child, OWN for our own PID (left in an earlier PID namespace).
TEST_F(Segment, OnlyALiveDaemonOnTheSegmentRefusesTheStart) {
    attach();
    constexpr int CHILD = 1 << 30, OWN = 1 << 29;
    const struct { const char* what; int word; bool attached, named, ends, refused; } rows[] = {
        {"0", 0, false, false, false, false},
        {"1", 1, false, false, false, false},
        {"a negative word", -1, false, false, false, false},
        {"our own PID", OWN, false, false, false, false},
        {"a daemon that ended", CHILD, false, true, true, false},
        {"a stranger named like the daemon", CHILD, false, true, false, false},
        {"a client attached to the segment", CHILD, true, false, false, false},
        {"a zombie daemon", CHILD, true, true, true, false},
        {"a live daemon, negated", -CHILD, true, true, false, false},
        {"a live daemon", CHILD, true, true, false, true},
    };
    const std::string status = "setpriv --reuid=nobody --regid=nogroup --clear-groups env KX29_KEY=" + key_ +
                               " " KX29_BIN_DIR "/kx29ctl status >/dev/null 2>&1";
    for (const auto& r : rows) {
        const pid_t other = r.word == CHILD || r.word == -CHILD ? child(r.attached, r.named, r.ends) : 0;
        if (r.ends && !r.attached) waitpid(other, nullptr, 0);  // gone, not a zombie
        pid_word() = r.word == OWN ? getpid() : r.word == CHILD ? other : r.word == -CHILD ? -other : r.word;
        const int word = pid_word();
        restart();
        if (geteuid() == 0) EXPECT_EQ(WEXITSTATUS(std::system(status.c_str())), r.refused ? 0 : 3) << r.what << ": client";
        if (r.refused) {
            EXPECT_EXIT(get_sh_mem(), testing::ExitedWithCode(1),
                        "kx29 daemon already running! \\(PID=" + std::to_string(other) + "\\)\n$") << r.what;
            shm_addr = static_cast<unsigned char*>(shmat(shmget(shm_key.code, 0, 0), nullptr, 0));
            EXPECT_EQ(pid_word(), word) << r.what;
        } else {
            attach();
            EXPECT_EQ(pid_word(), getpid()) << r.what;
        }
        if (other > 0) kill(other, SIGKILL), waitpid(other, nullptr, 0);
    }
}

// Who may use the segment: kx29.conf's segment_group, and who created it. A
// report is one line after the attachment's. Segments of another user
// (nobody) need root.
TEST_F(Segment, ModeGroupAndOwnerAreTheConfiguredOnes) {
    const group* nogroup = getgrnam("nogroup");
    ASSERT_NE(nogroup, nullptr);
    const gid_t other = nogroup->gr_gid, mine = getegid();
    enum Before { None, Open, ByNobodyHandedToRoot };
    const struct { const char* group; Before before; unsigned mode; gid_t gid; const char* said; } rows[] = {
        {"", None, 0777, mine, "is open to every local user (mode 0777)"},
        {"nogroup", None, 0660, other, ""},
        {"kx29-no-such-group", None, 0600, mine, "Group 'kx29-no-such-group' (segment_group in kx29.conf) does not exist"},
        {"nogroup", Open, 0660, other, "changed to mode 0660, group nogroup (was 0777, group root)"},
        {"nogroup", ByNobodyHandedToRoot, 0, 0, "belongs to user nobody .uid 65534., not to this daemon's user root"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string(r.group) + ", before: " + std::to_string(r.before));
        if (r.before == ByNobodyHandedToRoot && geteuid() != 0) continue;
        kx29t::remove_segment(key_);
        const int code = shm_key.code;
        if (r.before == Open) shmget(code, KX29_SEGMENT_BYTES, IPC_CREAT | 0777);
        shmid_ds ds{};
        if (r.before == ByNobodyHandedToRoot && fork() == 0) {  // the creator may give the segment to root
            const int id = setresuid(65534, 65534, 65534) == 0 ? shmget(code, KX29_SEGMENT_BYTES, IPC_CREAT | 0666) : -1;
            shmctl(id, IPC_STAT, &ds), ds.shm_perm.uid = 0, shmctl(id, IPC_SET, &ds);
            _exit(0);
        }
        wait(nullptr);
        snprintf(segment_group, sizeof segment_group, "%s", r.group);
        if (r.mode == 0) {
            EXPECT_EXIT(get_sh_mem(), testing::ExitedWithCode(1),
                        std::string("^Shared memory segment '[^']*' ") + r.said +
                            ".* Remove it \\(ipcrm -M 0x[0-9a-f]{8}\\) and start again\n$");
            continue;
        }
        const std::string err = attach();
        EXPECT_TRUE(err.find(r.said) != std::string::npos && std::count(err.begin(), err.end(), '\n') == 1 + (*r.said != 0))
            << err;
        shmctl(shmget(code, 0, 0), IPC_STAT, &ds);
        EXPECT_EQ(std::make_pair(ds.shm_perm.mode & 0777, ds.shm_perm.gid), std::make_pair(r.mode, r.gid));
        restart();
    }
}

TEST_F(Segment, WrongSizedSegmentIsAnError) {
    int id = shmget(shm_key.code, 1000, IPC_CREAT | 0600);
    ASSERT_GE(id, 0);
    EXPECT_EXIT(get_sh_mem(), testing::ExitedWithCode(EINVAL),
                "^Can't create shared memory segment '" + key_ + "': Invalid argument\n$");
}

}  // namespace
