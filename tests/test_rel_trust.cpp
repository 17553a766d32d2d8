// What another local user can do to a root daemon's segment: one table of
// attempts, each run as a second, unprivileged user made for the test, once
// with the group set-up (segment_group) and once with the open segment of
// old. With the group every attempt is refused and the records and the PID
// word stay as they were; the open segment lets every user in, and the
// daemon puts a forged PID word back within a pass.
#include <gtest/gtest.h>

#include <grp.h>
#include <pwd.h>
#include <fstream>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

#include "daemon_harness.h"

namespace {

using kx29harness::Daemon;
using kx29t::read_file;

// A user and a group made for the test (removed afterwards), the user in no group but nogroup.
struct LocalUser {
    std::string name = "kx29u" + std::to_string(getpid()), group = "kx29g" + std::to_string(getpid());
    uid_t uid = 0;
    gid_t gid = 0, nogroup = 0;
    bool made = std::system(("groupadd " + group + " && useradd -M -N -g nogroup -s /usr/sbin/nologin " + name).c_str()) == 0;
    LocalUser() {
        if (made) uid = getpwnam(name.c_str())->pw_uid, gid = getgrnam(group.c_str())->gr_gid, nogroup = getpwnam(name.c_str())->pw_gid;
    }
    ~LocalUser() { std::system(("userdel " + name + "; groupdel " + group).c_str()); }

    // `fn` in a child as this user: its text ("ok" or the system's error).
    std::string run(const std::function<std::string()>& fn) const {
        int out[2];
        if (pipe(out) != 0) return "pipe";
        const pid_t pid = fork();
        if (pid == 0) {
            const std::string said = setgroups(0, nullptr) == 0 && setresgid(nogroup, nogroup, nogroup) == 0 &&
                                             setresuid(uid, uid, uid) == 0 ? fn() : "setresuid";
            (void)!write(out[1], said.data(), said.size());
            _exit(0);
        }
        close(out[1]);
        waitpid(pid, nullptr, 0);
        const std::string said = read_file("/proc/self/fd/" + std::to_string(out[0]));
        close(out[0]);
        return said;
    }
};

std::string ok_or_error(bool ok) { return ok ? "ok" : strerror(errno); }

// kx29ctl as the user on the daemon's key: "status N: <what it said>".
std::string ctl(const LocalUser& u, const Daemon& d, const std::string& args, bool member = false) {
    const std::string out = (d.dir() / "ctl.txt").string();
    const std::string cmd = "setpriv --reuid=" + u.name + " --regid=nogroup " + (member ? "--groups=" + u.group : "--clear-groups") +
                            " env KX29_KEY=" + d.key() + " " KX29_BIN_DIR "/kx29ctl " + args + " >" + out + " 2>&1";
    const int st = std::system(cmd.c_str());
    return "status " + std::to_string(WEXITSTATUS(st)) + ": " + read_file(out);
}

TEST(Trust, AnotherLocalUserWithTheGroupSetUpAndWithout) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to make a second user (useradd) and run as it";
    LocalUser u;
    ASSERT_TRUE(u.made) << "useradd/groupadd failed";
    for (const bool grouped : {true, false}) {
        SCOPED_TRACE(grouped ? "segment_group " + u.group : "no segment_group");
        Daemon d;
        if (grouped) std::ofstream(d.dir() / "kx29.conf", std::ios::app) << "segment_group " << u.group << "\n";
        ASSERT_TRUE(d.start()) << d.err();
        const int code = kx29t::key_code(d.key());
        const auto* seg = reinterpret_cast<const char*>(d.record(0));
        const std::string before(seg, KX29_SEGMENT_BYTES);
        const std::string refused = "status 2: kx29ctl: permission denied: ask to be added to group " + u.group;
        auto write_word = [&](int value) {
            return u.run([&] {
                void* p = shmat(shmget(code, 0, 0), nullptr, 0);
                if (p == reinterpret_cast<void*>(-1)) return ok_or_error(false);
                __atomic_store_n(reinterpret_cast<int*>(static_cast<char*>(p) + KX29_PID_OFFSET), value, __ATOMIC_SEQ_CST);
                return std::string("ok");
            });
        };
        const std::string key2 = kx29t::unique_key();
        const struct { const char* what; std::function<std::string()> attempt; std::string group, open; } rows[] = {
            {"attaches read-only", [&] { return u.run([&] { return ok_or_error(shmat(shmget(code, 0, 0), nullptr, SHM_RDONLY) != reinterpret_cast<void*>(-1)); }); },
             "Permission denied", "ok"},
            {"writes 0 into the PID word", [&] { return write_word(0); }, "Permission denied", "ok"},
            {"writes 1 into the PID word", [&] { return write_word(1); }, "Permission denied", "ok"},
            {"writes a client's PID into the PID word", [&] { return write_word(getpid()); }, "Permission denied", "ok"},
            {"kx29ctl abort", [&] { return ctl(u, d, "abort -c 0"); }, refused, "status 0"},
            {"kx29ctl set", [&] { return ctl(u, d, "set -c 2 --bias 7"); }, refused, "status 0"},
            {"kx29ctl acquire", [&] { return ctl(u, d, "acquire -c 0 --frames 1"); }, refused, "status 0"},
            {"kx29ctl status as a member of the group", [&] { return ctl(u, d, "status", true); }, "status 0", "status 0"},
            {"creates the segment before the daemon", [&] {
                 u.run([&] { return ok_or_error(shmget(kx29t::key_code(key2), KX29_SEGMENT_BYTES, IPC_CREAT | 0600) >= 0); });
                 const pid_t early = kx29harness::spawn(d.dir(), key2, "early");
                 int st = 0;
                 if (!Daemon::wait_for([&] { return waitpid(early, &st, WNOHANG) == early; }, 5))
                     kill(early, SIGKILL), waitpid(early, &st, 0);  // it runs on the user's segment
                 kx29t::remove_segment(key2);
                 return "status " + std::to_string(kx29harness::exit_status(st)) + ": " + read_file(d.dir() / "early.err");
             }, "status 1: Shared memory segment '" + key2 + "' belongs to user " + u.name, ""},
        };
        for (const auto& r : rows) {
            const std::string said = r.attempt(), expected = grouped ? r.group : r.open.empty() ? r.group : r.open;
            EXPECT_EQ(said.rfind(expected, 0), 0u) << r.what << ":\n" << said;
            // A forged word is the daemon's again within a pass.
            EXPECT_TRUE(Daemon::wait_for([&] { return d.pid_word() == d.pid(); }, 2)) << r.what;
        }
        const std::string err = d.err();
        const size_t open_said = err.find("is open to every local user");
        EXPECT_EQ(open_said != std::string::npos && open_said == err.rfind("is open to"), !grouped) << err;
        EXPECT_EQ(err.find("overwritten with") != std::string::npos, !grouped) << err;  // the first forgery, once
        if (grouped) {
            EXPECT_TRUE(before == std::string(seg, KX29_SEGMENT_BYTES)) << "the records changed";
            shmid_ds ds{};
            shmctl(shmget(code, 0, 0), IPC_STAT, &ds);
            EXPECT_TRUE(ds.shm_perm.gid == u.gid && (ds.shm_perm.mode & 0777) == 0660) << std::oct << ds.shm_perm.mode;
        } else {
            EXPECT_EQ(d.record(2)->bias, 7);
        }
        EXPECT_EQ(d.stop(SIGTERM), SIGTERM);
    }
}

}  // namespace
