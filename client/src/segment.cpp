// Attaching the shared segment by its key and probing the daemon named in its PID word.
#include "kx29/client.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <grp.h>
#include <pwd.h>
#include <sstream>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <thread>
#include <utility>

namespace kx29 {

namespace {

std::string key_text(const ShmKey& key) { return std::string("'") + key.name + "'"; }

// Why a segment we may not use is closed to us, from /proc/sysvipc/shm (which
// every user may read): its group and mode.
Error permission_denied(const ShmKey& key) {
    std::ifstream table("/proc/sysvipc/shm");
    std::string line;
    std::getline(table, line);  // the heading
    while (std::getline(table, line)) {
        std::istringstream row(line);
        long long code = 0, id = 0, size = 0, cpid = 0, lpid = 0, nattch = 0;
        unsigned uid = 0, gid = 0;
        std::string perms;
        if (!(row >> code >> id >> perms >> size >> cpid >> lpid >> nattch >> uid >> gid) || code != key.code) continue;
        const unsigned mode = std::stoul(perms, nullptr, 8) & 0777;
        char octal[8];
        std::snprintf(octal, sizeof octal, "%04o", mode);
        std::string group = std::to_string(gid);
        if (const ::group* gr = getgrgid(gid)) group = gr->gr_name;
        if ((mode & 060) != 0)
            return Error(ErrorKind::Environment, "permission denied: ask to be added to group " + group +
                                                     " (shared segment " + key_text(key) + ", mode " + octal + ")");
        std::string user = std::to_string(uid);
        if (const passwd* pw = getpwuid(uid)) user = pw->pw_name;
        return Error(ErrorKind::Environment, "permission denied: the shared segment " + key_text(key) +
                                                 " is for user " + user + " alone (mode " + octal + ")");
    }
    return Error(ErrorKind::Environment, "permission denied: no access to the shared segment " + key_text(key));
}

// Any other failure of a call on the segment, by its errno.
Error segment_error(const std::string& what, const ShmKey& key) {
    if (errno == EACCES || errno == EPERM) return permission_denied(key);
    return Error(ErrorKind::Environment, what + " the shared segment " + key_text(key) + ": " + std::strerror(errno));
}

int find_segment(const ShmKey& key) {
    // Size 0 finds a segment of any size; the size is checked on its own below
    // so that a wrong size gets a message of its own.
    int id = shmget(key.code, 0, 0);
    if (id >= 0) return id;
    if (errno == ENOENT)
        throw Error(ErrorKind::Environment,
                    "no daemon has run on this machine (no shared segment with key " + key_text(key) + ")");
    throw segment_error("can't look up", key);
}

void check_segment_size(int id, const ShmKey& key) {
    shmid_ds ds{};
    if (shmctl(id, IPC_STAT, &ds) != 0) throw segment_error("can't inspect", key);
    if (ds.shm_segsz < static_cast<size_t>(KX29_SEGMENT_BYTES))
        throw Error(ErrorKind::Environment,
                    "the shared segment " + key_text(key) + " holds " + std::to_string(ds.shm_segsz) +
                        " bytes, fewer than the " + std::to_string(KX29_SEGMENT_BYTES) +
                        " of four channel records and the PID word");
}

}  // namespace

Segment Segment::attach(Access access) {
    ShmKey key{};
    if (!kx29_key_from_env(&key))
        throw Error(ErrorKind::Environment, "KX29_KEY must be exactly four printable characters");
    return attach(key, access);
}

Segment Segment::attach(const ShmKey& key, Access access) {
    int id = find_segment(key);
    check_segment_size(id, key);
    void* addr = shmat(id, nullptr, access == Access::ReadOnly ? SHM_RDONLY : 0);
    if (addr == reinterpret_cast<void*>(-1)) throw segment_error("can't attach", key);
    return Segment(key, access, id, static_cast<unsigned char*>(addr));
}

Segment::Segment(const ShmKey& key, Access access, int id, unsigned char* base)
    : key_(key), id_(id), access_(access), base_(base) {}

Segment::Segment(Segment&& other) noexcept
    : key_(other.key_), id_(other.id_), access_(other.access_), base_(std::exchange(other.base_, nullptr)) {}

Segment& Segment::operator=(Segment&& other) noexcept {
    if (this != &other) {
        if (base_ != nullptr) shmdt(base_);
        key_ = other.key_;
        id_ = other.id_;
        access_ = other.access_;
        base_ = std::exchange(other.base_, nullptr);
    }
    return *this;
}

Segment::~Segment() {
    if (base_ != nullptr) shmdt(base_);
}

DaemonStatus Segment::daemon() const {
    const auto* word = reinterpret_cast<const int*>(base_ + KX29_PID_OFFSET);
    DaemonStatus st;
    st.pid = __atomic_load_n(word, __ATOMIC_ACQUIRE);
    // The daemon writes 0 when it ends on a signal; a daemon killed outright
    // leaves its PID, which may be a zombie's or be reused, and any process
    // that may write the segment may write the word. So the word counts only
    // when it names a live process with this segment attached.
    if (st.pid > 0) st.alive = kx29_daemon_on_segment(st.pid, id_, key_.code, false);
    if (st.pid < 0 && st.pid != INT_MIN) st.starting = kx29_daemon_on_segment(-st.pid, id_, key_.code, false);
    return st;
}

void Segment::require_daemon() const {
    DaemonStatus st = daemon();
    if (st.alive) return;
    if (st.pid == 0)
        throw Error(ErrorKind::Environment, "the daemon is not running (it ended cleanly; segment " + key_text(key_) + ")");
    if (st.starting)
        throw Error(ErrorKind::Environment, "the daemon is starting (PID " + std::to_string(-st.pid) + " in segment " +
                                                key_text(key_) + "); try again in a moment");
    const bool exists = st.pid > 0 && (kill(st.pid, 0) == 0 || errno == EPERM);
    throw Error(ErrorKind::Environment,
                "the daemon is not running (PID " + std::to_string(st.pid) + " in segment " + key_text(key_) +
                    (exists ? " is no daemon attached to it)" : " no longer exists)"));
}

TVchan* Segment::record(int channel) const {
    if (channel < 0 || channel >= KX29_CHANNELS)
        throw Error(ErrorKind::Usage, "channel " + std::to_string(channel) + " is not 0..3");
    return reinterpret_cast<TVchan*>(base_ + static_cast<size_t>(channel) * sizeof(TVchan));
}

ChannelView Segment::view(int channel) const { return ChannelView(record(channel), channel); }

Channel Segment::channel(int channel) {
    if (access_ != Access::ReadWrite)
        throw Error(ErrorKind::Usage, "the segment is attached read-only");
    return Channel(record(channel), channel);
}

bool poll_until(const std::function<bool()>& cond, std::chrono::milliseconds timeout,
                const std::function<bool()>& stop, std::chrono::milliseconds interval) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (cond()) return true;
        if (stop && stop()) return false;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(interval);
    }
}

}  // namespace kx29
