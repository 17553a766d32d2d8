// Whether the process a PID word names is a daemon serving that segment: one
// rule for the daemon's start and for the clients' liveness check.
#include "kx29.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <sys/shm.h>

namespace {

// Opens /proc/<pid>/<what>; null with errno set when it cannot.
FILE* open_proc(int pid, const char* what) {
    char path[48];
    std::snprintf(path, sizeof path, "/proc/%d/%s", pid, what);
    return std::fopen(path, "r");
}

// The state letter of /proc/<pid>/stat ('Z' for a zombie), 0 when the file
// cannot be read. The name before it is in parentheses and may hold some.
char process_state(int pid) {
    FILE* f = open_proc(pid, "stat");
    if (f == nullptr) return 0;
    char buf[256];
    const size_t n = std::fread(buf, 1, sizeof buf - 1, f);
    std::fclose(f);
    buf[n] = '\0';
    const char* name_end = std::strrchr(buf, ')');
    return name_end != nullptr && name_end[1] == ' ' && name_end[2] != '\0' ? name_end[2] : '?';
}

// 1 when the process has a daemon's program name (kx29d, kx29d-sim), 0 when
// not, -1 when the name cannot be read.
int named_like_daemon(int pid) {
    FILE* f = open_proc(pid, "comm");
    if (f == nullptr) return -1;
    char name[32] = {};
    const bool ok = std::fgets(name, sizeof name, f) != nullptr && std::strncmp(name, "kx29d", 5) == 0;
    std::fclose(f);
    return ok ? 1 : 0;
}

// 1 when /proc/<pid>/maps shows the segment attached, 0 when not, -1 (errno
// set) when the map cannot be read. A System V segment shows as the file
// "/SYSV<key in 8 hex digits> (deleted)" whose inode number is the shmid.
int map_shows_segment(int pid, int shmid, int key) {
    FILE* f = open_proc(pid, "maps");
    if (f == nullptr) return -1;
    char want[16], line[512], file[512];
    std::snprintf(want, sizeof want, "/SYSV%08x", static_cast<unsigned>(key));
    int found = 0;
    for (bool line_start = true; found == 0 && std::fgets(line, sizeof line, f) != nullptr;) {
        unsigned long inode = 0;
        if (line_start && std::sscanf(line, "%*s %*s %*s %*s %lu %511s", &inode, file) == 2)
            found = inode == static_cast<unsigned long>(shmid) && std::strcmp(file, want) == 0;
        line_start = std::strchr(line, '\n') != nullptr;  // a longer line goes on in the next piece
    }
    const int err = std::ferror(f) ? errno : 0;
    std::fclose(f);
    errno = err;
    return err != 0 ? -1 : found;
}

}  // namespace

bool kx29_daemon_on_segment(int pid, int shmid, int key, bool by_name) {
    if (pid <= 0) return false;
    const char state = process_state(pid);
    // kill(pid, 0) succeeds on a zombie: only the state tells it has ended.
    if (state == 'Z' || state == 'X') return false;
    if (state == 0 && kill(pid, 0) != 0 && errno == ESRCH) return false;
    const int named = named_like_daemon(pid);
    if (by_name && named != 1) return false;
    const int shown = state == 0 ? -1 : map_shows_segment(pid, shmid, key);
    if (shown >= 0) return shown == 1;
    if (state != 0 && errno != EACCES && errno != EPERM) return false;  // ended meanwhile
    // Another user's process (the daemon runs as root) keeps its map, and
    // with /proc mounted hidepid its name, to itself. It must then not be
    // named otherwise, and some process besides the caller must have the
    // segment attached.
    shmid_ds ds{};
    return named != 0 && shmctl(shmid, IPC_STAT, &ds) == 0 && ds.shm_nattch >= 2;
}
