// Start-up and shutdown on the test board: privileges, port grants, the
// board check and the exit statuses of every fatal path; the same refusals of
// the hardware daemon kx29d through the port trap.
#include <gtest/gtest.h>

#include <csignal>
#include <sstream>
#include <cstdlib>
#include <sys/wait.h>
#include <vector>
#include <sys/shm.h>

#include "daemon_harness.h"
#include "kx29_io.h"
#include "kx29_version.h"
#include "test_util.h"

namespace {

using kx29t::ScratchDir;
using kx29t::write_file;

class StartUp : public testing::Test {
protected:
    void SetUp() override {
        key_ = kx29t::unique_key();
        setenv("KX29_KEY", key_.c_str(), 1);
        kx29test::reset_test_board();
        write_file("kx29.conf", "# test configuration\n");
        kx29harness::make_images(".");
    }
    void TearDown() override {
        if (shm_addr != nullptr) shmdt(shm_addr);
        shm_addr = nullptr;
        kx29t::remove_segment(key_);
    }
    kx29test::TestBoard& board() { return kx29test::test_board(); }

    ScratchDir dir_;
    std::string key_;
};

// Started set-user-id root by user 1000: the privileges pass to the real user
// and back.
TEST_F(StartUp, RootStartLoadsTheFirstChannelAndChecksTheBoard) {
    board().uid = 1000;
    board().euid = 0;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    kx29_init();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Load XIL:  fmta.spe\nChange TV channel: 0 -> 0\nset_ref_lev(60)\n");
    EXPECT_EQ(testing::internal::GetCapturedStderr().find("FAILED"), std::string::npos);  // the board's memory answers
    EXPECT_TRUE(base_port_29 == 0x300 && tv_out == 2 && curch == tvch[0] && curch->activ == 1 &&
                *reinterpret_cast<int*>(shm_addr + shm_size) == getpid());
    EXPECT_EQ(board().setreuid_calls, (std::vector<std::pair<int, int>>{{0, 0}, {1000, 0}}));
    // Granted: the 32-port window and the delay port, nothing else.
    EXPECT_TRUE(board().granted[0x300] && board().granted[0x31f] && board().granted[0x80]);
    EXPECT_FALSE(board().granted[0x320] || board().granted[0x2ff]);
    EXPECT_TRUE(board().pixel(0, 0) == 0x55 && board().pixel(0, 1) == 0xAA);  // the memory test's pattern
    EXPECT_EQ(signal(SIGSEGV, SIG_DFL), SIG_DFL);  // bad-address handler disarmed
}

// Each case arranges the board or the configuration. kx29_init() ends the
// process on a fatal path with its status and message; otherwise it returns
// and the process ends with the display value the board version chose.
TEST_F(StartUp, FatalPathsEndWithTheirStatusOthersChooseTheDisplayValue) {
    const struct { const char* name; void (*arrange)(kx29test::TestBoard&); int status; const char* message; } cases[] = {
        {"not root", [](auto& b) { b.uid = b.euid = 1000; }, 1, "^Wrong user ID \\(must be 'root'\\)! \n$"},
        {"scheduler refused", [](auto& b) { b.sched_errno = EPERM; }, EPERM,
         "^Can't set scheduler priority: Operation not permitted\n$"},
        {"memory lock refused", [](auto& b) { b.mlock_errno = ENOMEM; }, ENOMEM,
         "^Can't lock process memory: Cannot allocate memory\n$"},
        {"base port refused", [](auto& b) { b.grant_limit = 0x300; }, 1,
         "^Can't get I/O permissions \\(are you a SuperUser\\?\\)\n$"},
        {"window beyond the grants", [](auto& b) { b.grant_limit = 0x310, b.enforce_grants = true; }, 1,
         "^Wrong KX29 BaseAddress = 300\n$"},
        {"board version 2", [](auto&) { write_file("kx29.conf", "ver_board 2\n"); }, 2, "^"},
        {"board version 3", [](auto&) { write_file("kx29.conf", "ver_board 3\n"); }, 2, "^"},
        {"board version 1", [](auto&) { write_file("kx29.conf", "ver_board 1\n"); }, 0, "^"},
    };
    for (const auto& c : cases) {
        c.arrange(board());
        EXPECT_EXIT(
            {
                if (!freopen("/dev/null", "w", stdout)) exit(99);
                kx29_init();
                exit(tv_out);
            },
            testing::ExitedWithCode(c.status),
            std::string("^(Attach|Create) shared memory[^\n]*\nShared memory segment '[^']*' is open to every local "
                        "user[^\n]*\n") + (c.message + 1))
            << c.name;
        kx29test::reset_test_board();
    }
}

TEST_F(StartUp, BadKeyOrGeometryStopsBeforeTheSegment) {
    setenv("KX29_KEY", "toolong", 1);
    EXPECT_EXIT(kx29_init(), testing::ExitedWithCode(1), "^Wrong KX29_KEY 'toolong'");
    setenv("KX29_KEY", key_.c_str(), 1);
    write_file("kx29.conf", "chan1.cols2 0\n");
    EXPECT_EXIT(kx29_init(), testing::ExitedWithCode(1), "chan1.cols2 = 0");
    EXPECT_LT(shmget(kx29t::key_code(key_), 0, 0), 0);  // nothing created
}

// The options of the daemon binary: output, exit status, and no segment made.
// The broken configuration has four problems, all of which the check names.
TEST_F(StartUp, OptionsAnswerAndExitWithoutASegment) {
    auto run = [](const std::string& args, std::string* out, std::string* err) {
        const int st = std::system((KX29_BIN_DIR "/kx29d-sim " + args + " >out.txt 2>err.txt").c_str());
        *out = kx29t::read_file("out.txt"), *err = kx29t::read_file("err.txt");
        return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    };
    const struct { const char* args; bool broken; int status; std::vector<std::string> out, err; } cases[] = {
        {"--version", false, 0, {"kx29d-sim " KX29_VERSION "\n"}, {}},
        {"--help", false, 0, {"Usage: kx29d-sim", "--check-config"}, {}},
        {"--check-config", false, 0, {"configuration OK\n"}, {}},
        {"--check-config", true, 1, {"configuration: 4 problems\n"},
         {"Wrong conf.parameter: colours", "chan2.cols1 = 0", "Can't load SPE-file: spe/lexpb.spe",
          "Wrong SPE(fmtb.spe) checksum: 8978 (8977 needs)"}},
        {"--verbose", false, 2, {}, {"unknown option '--verbose'", "Usage: kx29d-sim"}},
        {"--help --version", false, 2, {}, {"Usage: kx29d-sim"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.args) + (c.broken ? " (broken configuration)" : ""));
        if (c.broken) {
            write_file("kx29.conf", "colours 3\nchan2.cols1 0\n");
            std::filesystem::remove("spe/lexpb.spe");
            ASSERT_EQ(std::system(KX29_BIN_DIR "/kx29-mkspe spe/fmtb.spe 3854 8978"), 0);
        }
        std::string out, err;
        EXPECT_EQ(run(c.args, &out, &err), c.status) << err;
        for (const auto& s : c.out) EXPECT_NE(out.find(s), std::string::npos) << s << " in\n" << out;
        for (const auto& s : c.err) EXPECT_NE(err.find(s), std::string::npos) << s << " in\n" << err;
        EXPECT_TRUE((!c.out.empty() || out.empty()) && (!c.err.empty() || err.empty())) << out << err;
    }
    EXPECT_LT(shmget(kx29t::key_code(key_), 0, 0), 0) << "an option made the segment";
}

// The hardware daemon kx29d itself, its port instructions and privileged calls
// answered by the port trap: each refusal of start-up with the message and
// exit status it has on the board, and the calls of a start that succeeds.
TEST_F(StartUp, HardwareDaemonRefusalsAndPrivilegedCalls) {
    if (!kx29harness::trap_built()) GTEST_SKIP() << "no kx29d or port trap in this build";
    const std::string started = "set_ref_lev(";
    // `send`: the signal sent once the daemon serves (0: it must end by itself).
    const struct { const char* name; const char *trap, *sim, *conf; int send, status; std::string message; } cases[] = {
        {"not root", "notroot", "", "", 0, 1, "Wrong user ID (must be 'root')! \n"},
        {"not root on the board", "", "notroot", "", 0, 1, "Wrong user ID (must be 'root')! \n"},
        {"ioperm refused", "ioperm=EPERM", "", "", 0, 1, "Can't get I/O permissions (are you a SuperUser?)\n"},
        {"base beyond the grants", "", "", "base_addr 0x400\n", 0, 1, "Can't get I/O permissions (are you a SuperUser?)\n"},
        {"window beyond the grants", "", "", "base_addr 0x3f0\n", 0, 1, "Wrong KX29 BaseAddress = 3f0\n"},
        {"scheduler refused", "sched=EPERM", "", "", 0, EPERM, "Can't set scheduler priority: Operation not permitted\n"},
        {"memory lock refused", "mlock=ENOMEM", "", "", 0, ENOMEM, "Can't lock process memory: Cannot allocate memory\n"},
        {"unknown trap option", "notroot,nosuch", "", "", 0, 1,
         "KX29_TRAP: unknown option 'nosuch' (options: notroot, ioperm=ERR, sched=ERR, mlock=ERR)\n"},
        {"unknown error name", "mlock=ENOSUCH", "", "", 0, 1,
         "KX29_TRAP: bad error 'ENOSUCH' in 'mlock=ENOSUCH' (an errno name such as EPERM)\n"},
        {"a fault that is no port access", "", "", "", SIGSEGV, 128 + SIGSEGV, ": not a port instruction\n"},
        {"started", "", "", "", SIGTERM, SIGTERM, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string log = std::string("run-") + c.name, calls = std::filesystem::absolute(log + ".calls");
        write_file("kx29.conf", std::string("# test configuration\n") + c.conf);
        const pid_t pid = kx29harness::spawn(std::filesystem::current_path(), key_, log, [&] {
            setenv("KX29_TRAP", c.trap, 1);
            setenv("KX29_SIM", c.sim, 1);
            setenv("KX29_TRAP_LOG", calls.c_str(), 1);
        }, kx29harness::Binary::Trapped);
        // Serving: the first channel loaded and, half a second later, the
        // board check done (until then a SIGSEGV is the daemon's own).
        int status = 0, polls_serving = 0;
        if (!kx29t::wait_for([&] {
                if (c.send != 0 && kx29t::read_file(log + ".out").find(started) != std::string::npos &&
                    ++polls_serving == 50)
                    kill(pid, c.send);
                return waitpid(pid, &status, WNOHANG) == pid;
            }, 20, std::chrono::milliseconds(10))) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
        }
        const std::string err = kx29t::read_file(log + ".err");
        EXPECT_EQ(kx29harness::exit_status(status), c.status) << err;
        EXPECT_TRUE(err.size() >= c.message.size() && err.ends_with(c.message)) << err;
        if (c.send != SIGTERM) continue;
        EXPECT_EQ(err.find("FAILED"), std::string::npos) << err;  // the board's memory answered through the trap
        // The daemon's window at base 0x300 and the delay port, one port at a
        // time, between the switches of its user ids; nothing done for real.
        std::vector<std::string> want = {"sched_setscheduler 0 FIFO 1 -> 0", "mlockall CURRENT -> 0", "getuid -> 0",
                                         "geteuid -> 0", "setreuid 0 0 -> 0"};
        char line[40];
        for (int port = 0x300; port < 0x320; ++port)
            want.push_back((snprintf(line, sizeof line, "ioperm 0x%x 1 1 -> 0", port), line));
        want.insert(want.end(), {"ioperm 0x80 1 1 -> 0", "setreuid 0 0 -> 0"});
        const std::string text = kx29t::read_file(calls);
        std::vector<std::string> got;
        std::istringstream in(text.substr(std::min(text.find("sched_setscheduler"), text.size())));
        for (std::string l; std::getline(in, l);) got.push_back(l);
        EXPECT_EQ(got, want) << text;
    }
}

}  // namespace
