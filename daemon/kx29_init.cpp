// Start-up of the daemon: configuration, FPGA images, the shared segment,
// port permissions, FPGA loading and channel switching, board check, shutdown.
#include "kx29.h"
#include "kx29_io.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/shm.h>
#include <unistd.h>

// ---- Configuration and its defaults ------------------------------------------

int ver_board_29 = 2;
int base_addr = 0x300;
char spe_dir[SPE_DIR_SIZE] = "spe";
unsigned char tv_out = 2;
unsigned char level_syng_29 = 12;

#define KX29_SPE(name, size, sum) {size, name, {}, sum}
ChanDef chan0 = {0, KX29_SPE("fmta.spe", 3854, 7302), 768, 512, KX29_SPE("fmtb.spe", 3854, 8977), 512, 512};
ChanDef chan1 = {1, KX29_SPE("lexpa.spe", 3854, 8109), 768, 576, KX29_SPE("lexpb.spe", 3854, 10593), 512, 512};
ChanDef chan2 = {0, KX29_SPE("fmta.spe", 3854, 7302), 768, 512, KX29_SPE("fmtb.spe", 3854, 8977), 512, 512};
ChanDef chan3 = {0, KX29_SPE("fmta.spe", 3854, 7302), 768, 512, KX29_SPE("fmtb.spe", 3854, 8977), 512, 512};
#undef KX29_SPE
ChanDef* chan[KX29_CHANNELS] = {&chan0, &chan1, &chan2, &chan3};

#define KX29_INT(key, target) {key, 'i', {.i = &(target)}, 0}
#define KX29_STR(key, target) {key, 's', {.s = (target)}, static_cast<int>(sizeof(target))}
#define KX29_CHAN_ROWS(N, cd)                                                         \
    KX29_INT("chan" #N ".tandem", cd.tandem), KX29_INT("chan" #N ".spe1.size", cd.spe1.size), \
    KX29_STR("chan" #N ".spe1.name", cd.spe1.name), KX29_INT("chan" #N ".spe1.sum", cd.spe1.sum), \
    KX29_INT("chan" #N ".cols1", cd.cols1), KX29_INT("chan" #N ".lines1", cd.lines1),        \
    KX29_INT("chan" #N ".spe2.size", cd.spe2.size), KX29_STR("chan" #N ".spe2.name", cd.spe2.name), \
    KX29_INT("chan" #N ".spe2.sum", cd.spe2.sum), KX29_INT("chan" #N ".cols2", cd.cols2),    \
    KX29_INT("chan" #N ".lines2", cd.lines2)

ConfParam conf[] = {
    KX29_INT("ver_board", ver_board_29),
    KX29_INT("base_addr", base_addr),
    KX29_STR("spe_dir", spe_dir),
    KX29_STR("segment_group", segment_group),
    KX29_CHAN_ROWS(0, chan0),
    KX29_CHAN_ROWS(1, chan1),
    KX29_CHAN_ROWS(2, chan2),
    KX29_CHAN_ROWS(3, chan3),
    {nullptr, 0, {nullptr}, 0},
};
#undef KX29_CHAN_ROWS
#undef KX29_STR
#undef KX29_INT

ShmKey shm_key = {"KX29", 0x3932584b};
char segment_group[SEGMENT_GROUP_SIZE] = "";  // empty: the segment is open to every local user

// ---- Shared segment and board state ------------------------------------------

unsigned char* shm_addr = nullptr;
TVchan* tvch[KX29_CHANNELS] = {};
TVchan* curch = nullptr;
TVchan* tandch = nullptr;

unsigned short base_port_29 = 0x300;
int set_first_chan = 1;

// ---- Configuration file ----------------------------------------------------------

static const char CONF_FILE[] = "kx29.conf";
static const char NAME_SEPARATORS[] = " \t=";
static const char VALUE_SEPARATORS[] = " \t\n\r";

static void report_conf_line(const char* line) { fprintf(stderr, "Wrong conf.parameter: %s\n", line); }

static void report_wrong_key() {
    fprintf(stderr, "Wrong KX29_KEY '%s': the segment key must be exactly four printable characters\n",
            getenv("KX29_KEY"));
}

static ConfParam* find_conf_param(const char* name) {
    for (ConfParam* p = conf; p->name != nullptr; ++p)
        if (strcmp(p->name, name) == 0) return p;
    return nullptr;
}

static void store_conf_value(const ConfParam* p, const char* value) {
    switch (p->type) {
    case 'c': *p->addr.c = value[0]; break;
    case 'f': *p->addr.f = atof(value); break;
    case 'i': *p->addr.i = static_cast<int>(strtol(value, nullptr, 0)); break;
    case 's': snprintf(p->addr.s, static_cast<size_t>(p->size), "%s", value); break;
    default: break;
    }
}

// Cuts the next token off at `from`: skips leading separators, ends the token
// at the next separator (overwritten with NUL). Returns null when there is no
// token; *rest points after the token, or at the end when it ran to the end.
static char* next_token(char* from, const char* separators, char** rest) {
    char* start = from + strspn(from, separators);
    if (*start == '\0') {
        *rest = start;
        return nullptr;
    }
    char* end = start + strcspn(start, separators);
    if (*end == '\0') {
        *rest = end;
    } else {
        *end = '\0';
        *rest = end + 1;
    }
    return start;
}

// One piece of the file (at most 78 characters): "name value", name and value
// separated by blanks, tabs or '='; '#' starts a comment. Returns 1 when the
// piece was reported as wrong.
static int parse_conf_piece(char* line) {
    if (line[0] == '#') return 0;
    if (char* comment = strchr(line, '#')) *comment = '\0';

    char* rest = nullptr;
    char* name = next_token(line, NAME_SEPARATORS, &rest);
    char* value = name != nullptr ? next_token(rest, VALUE_SEPARATORS, &rest) : nullptr;
    if (name == nullptr || value == nullptr) {
        report_conf_line(line);
        return 1;
    }
    if (const ConfParam* p = find_conf_param(name)) {
        store_conf_value(p, value);
        return 0;
    }
    report_conf_line(line);
    return 1;
}

// Reads kx29.conf; the number of wrong pieces, -1 (errno set) when the file
// cannot be opened.
static int parse_conf_file() {
    FILE* f = fopen(CONF_FILE, "r");
    if (f == nullptr) return -1;
    char line[80];
    int wrong = 0;
    while (fgets(line, 79, f) != nullptr) wrong += parse_conf_piece(line);
    fclose(f);
    return wrong;
}

static void report_unreadable_conf() { perror("Can't read config.file: kx29.conf "); }

void read_conf() {
    if (parse_conf_file() < 0) {
        int err = errno;
        report_unreadable_conf();
        exit(err);
    }
}

// A format must fit the record: 1..768 columns, at least one line, and no
// more pixels than the image holds. Checked before anything is touched.
static int check_format(int ch, int form, int cols, int lines) {
    const char* what = nullptr;
    if (cols < 1 || cols > KX29_MAX_COLS)
        what = "columns must be 1..768";
    else if (lines < 1)
        what = "lines must be at least 1";
    else if (static_cast<long long>(cols) * lines > KX29_IMAGE_PIXELS)
        what = "columns x lines must not exceed 442368";
    if (what == nullptr) return 0;
    fprintf(stderr, "Wrong image format in %s: chan%d.cols%d = %d, chan%d.lines%d = %d (%s)\n", CONF_FILE, ch,
            form, cols, ch, form, lines, what);
    return 1;
}

int check_conf_geometry() {
    int bad = 0;
    for (int ch = 0; ch < KX29_CHANNELS; ++ch) {
        bad += check_format(ch, 1, chan[ch]->cols1, chan[ch]->lines1);
        bad += check_format(ch, 2, chan[ch]->cols2, chan[ch]->lines2);
    }
    return bad;
}

// ---- FPGA configuration images ---------------------------------------------------

int spe_checksum(const char* buf, int size) {
    int sum = 0;
    for (int i = 0; i < size && i < SPE_BUF_SIZE; ++i) sum += static_cast<signed char>(buf[i]);
    return sum;
}

// Reads one image into spe->buf and checks its length and checksum; 1 (with
// the problem reported) when it is missing or wrong.
static int load_spe_file(SpeDef* spe) {
    char path[200];
    snprintf(path, sizeof path, "%s/%s", spe_dir, spe->name);
    int fd = open(path, O_RDONLY);
    if (fd < 0) {
        fprintf(stderr, "Can't load SPE-file: %s\n", path);
        return 1;
    }
    int n = static_cast<int>(read(fd, spe->buf, SPE_BUF_SIZE));
    close(fd);
    if (n != spe->size) {
        fprintf(stderr, "Wrong SPE(%s) size: %d (%d needs)\n", spe->name, n, spe->size);
        return 1;
    }
    int sum = spe_checksum(spe->buf, spe->size);
    if (sum != spe->sum) {
        fprintf(stderr, "Wrong SPE(%s) checksum: %d (%d needs)\n", spe->name, sum, spe->sum);
        return 1;
    }
    return 0;
}

void read_spe_files() {
    for (int i = 0; i < KX29_CHANNELS; ++i) {
        if (load_spe_file(&chan[i]->spe1) != 0) exit(1);
        if (load_spe_file(&chan[i]->spe2) != 0) exit(1);
    }
}

// The image at position k of the eight (two per channel).
static SpeDef* spe_at(int k) { return k % 2 == 0 ? &chan[k / 2]->spe1 : &chan[k / 2]->spe2; }

static bool same_spe(const SpeDef* a, const SpeDef* b) {
    return a->size == b->size && a->sum == b->sum && strcmp(a->name, b->name) == 0;
}

// Every image once, however many channels share it; the problems found.
static int check_spe_files() {
    int bad = 0;
    for (int k = 0; k < 2 * KX29_CHANNELS; ++k) {
        bool seen = false;
        for (int j = 0; j < k && !seen; ++j) seen = same_spe(spe_at(j), spe_at(k));
        if (!seen) bad += load_spe_file(spe_at(k));
    }
    return bad;
}

// What the daemon would read at start-up, without starting: the segment key,
// kx29.conf, the formats and the FPGA images, every problem reported on
// standard error. No segment and no port is touched. Returns the count.
int check_config() {
    int bad = 0;
    if (!kx29_key_from_env(&shm_key)) {
        report_wrong_key();
        ++bad;
    }
    const int wrong_lines = parse_conf_file();
    if (wrong_lines < 0) {
        report_unreadable_conf();
        return bad + 1;  // without the file, the defaults would be checked
    }
    bad += wrong_lines;
    bad += check_conf_geometry();
    bad += check_spe_files();
    return bad;
}

// ---- Shared segment ------------------------------------------------------------------

// The PID word holds 0 when no daemon runs, otherwise the PID of the daemon
// that claimed it. Anybody who may write the segment may write the word, so
// it counts only when it names a daemon attached to this very segment.
static int* pid_word() { return reinterpret_cast<int*>(shm_addr + KX29_PID_OFFSET); }

static int shm_id = -1;     // of the attached segment
static int daemon_pid = 0;  // ours, once the PID word is claimed

[[noreturn]] static void shm_failure(const char* what) {
    int err = errno;
    char text[80];
    snprintf(text, sizeof text, "%s shared memory segment '%s'", what, shm_key.name);
    errno = err;
    perror(text);
    exit(err);
}

// Whether the word names another daemon that serves this segment. A word
// with our own PID is stale: it was left by a daemon of an earlier PID
// namespace (a container restarted over the same IPC namespace) that had our
// number. 0, a negative word, a process without the segment, one that is not
// a daemon (a client) and a zombie are stale as well.
static bool held_by_other(int word, int my_pid) {
    return word != my_pid && kx29_daemon_on_segment(word, shm_id, shm_key.code, true);
}

[[noreturn]] static void refuse_second_daemon(int pid) {
    fprintf(stderr, "kx29 daemon already running! (PID=%d)\n", pid);
    sleep(2);
    exit(1);
}

// Writes our PID into the word unless another daemon holds it, which refuses
// the start. Compare-and-swap makes exactly one of several simultaneous
// starts win; the others then find the winner attached and alive.
static void claim_pid_word(int my_pid) {
    int* word = pid_word();
    int seen = __atomic_load_n(word, __ATOMIC_SEQ_CST);
    do {
        if (held_by_other(seen, my_pid)) refuse_second_daemon(seen);
    } while (!__atomic_compare_exchange_n(word, &seen, my_pid, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST));
    daemon_pid = my_pid;
}

// Called every pass of the loop and every second of a long exposure. A word
// somebody overwrote (0, 1, any PID) gets our PID back, so that neither a
// start nor a client takes us for ended. A word that names another daemon
// on this segment means a start slipped in while the word was wrong: of the
// two, the one that finds the other's PID gives way, and that is exactly one.
void keep_pid_word() {
    if (shm_addr == nullptr || daemon_pid == 0) return;
    int seen = __atomic_load_n(pid_word(), __ATOMIC_SEQ_CST);
    if (seen == daemon_pid) return;
    if (held_by_other(seen, daemon_pid)) {
        fprintf(stderr, "kx29 daemon PID=%d took over shared memory segment '%s': this daemon ends\n", seen,
                shm_key.name);
        exit(1);
    }
    static bool told = false;
    if (__atomic_compare_exchange_n(pid_word(), &seen, daemon_pid, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST) &&
        !told) {
        told = true;
        fprintf(stderr, "PID word of shared memory segment '%s' overwritten with %d: restored (reported once)\n",
                shm_key.name, seen);
    }
}

// A record no daemon has initialised: every field before the message is 0, as
// the system leaves a new segment. An initialised record always has a format
// and a geometry.
static bool record_blank(const TVchan* r) {
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(r);
    for (size_t i = 0; i < offsetof(TVchan, msg); ++i)
        if (bytes[i] != 0) return false;
    return true;
}

// The test pattern and the arrays first, the fields that make the record
// count as initialised last: a start cut short leaves the record blank.
static void init_record(TVchan* r, int i) {
    const ChanDef* cd = chan[i];
    // Test pattern: every run of cols1 pixels ramps up from -100.
    for (int j = 0; j < KX29_IMAGE_PIXELS; ++j) r->image[j] = static_cast<short>(j % cd->cols1 - 100);
    for (int& f : r->flat) f = 1;
    r->bias = 0;
    r->seqmsg = 0;
    r->msg[0] = '\0';
    r->num = i;
    r->tandem = cd->tandem;
    r->activ = 0;
    r->exposure = 0.04;
    r->seqn = 0;
    r->tcurr = r->tstart = static_cast<int>(time(nullptr));
    r->command = r->nexp = r->nadd = r->nadded = r->addlev = 0;
    r->next_form = 1;
    r->form = 1;
    r->ref_lev = 60;
    r->frm_width = r->img_width = cd->cols1;
    r->frm_height = r->img_height = cd->lines1;
    r->frm_lin0 = r->frm_col0 = 0;
}

static TVchan* record_at(int i) { return reinterpret_cast<TVchan*>(shm_addr + static_cast<size_t>(i) * sizeof(TVchan)); }

// Returns how many records were blank and are now initialised.
static int init_blank_records() {
    int filled = 0;
    for (int i = 0; i < KX29_CHANNELS; ++i)
        if (record_blank(record_at(i))) {
            init_record(record_at(i), i);
            ++filled;
        }
    return filled;
}

// The segment of our key, created (for its owner alone until its mode is set)
// when there is none. Sets *created when this call created it; another
// daemon creating it at the same moment is attached.
static int find_or_create_segment(bool* created) {
    int id = shmget(shm_key.code, KX29_SEGMENT_BYTES, 0);
    if (id < 0 && errno == ENOENT) {
        id = shmget(shm_key.code, KX29_SEGMENT_BYTES, IPC_CREAT | IPC_EXCL | 0600);
        if (id >= 0)
            *created = true;
        else if (errno == EEXIST)
            id = shmget(shm_key.code, KX29_SEGMENT_BYTES, 0);
    }
    if (id < 0) shm_failure("Can't create");
    return id;
}

// A user's or group's name (its number when it has none), copied out of the
// library's static record so that two fit in one message.
struct Name {
    char text[SEGMENT_GROUP_SIZE];
};

static Name name_or_number(const char* name, unsigned id) {
    Name n;
    if (name != nullptr) snprintf(n.text, sizeof n.text, "%s", name);
    else snprintf(n.text, sizeof n.text, "%u", id);
    return n;
}

static Name user_name(uid_t uid) {
    const passwd* pw = getpwuid(uid);
    return name_or_number(pw != nullptr ? pw->pw_name : nullptr, uid);
}

static Name group_name(gid_t gid) {
    const group* gr = getgrgid(gid);
    return name_or_number(gr != nullptr ? gr->gr_name : nullptr, gid);
}

// Anybody may create a segment under our key before the daemon starts, and
// even hand it to root (IPC_SET changes the owner, never the creator). The
// daemon uses only a segment that its own user created and owns; any other is
// refused before a byte of it is read.
static void check_segment_owner(const shmid_ds& ds) {
    const uid_t me = geteuid();
    if (ds.shm_perm.cuid == me && ds.shm_perm.uid == me) return;
    const uid_t other = ds.shm_perm.cuid != me ? ds.shm_perm.cuid : ds.shm_perm.uid;
    fprintf(stderr,
            "Shared memory segment '%s' belongs to user %s (uid %u), not to this daemon's user %s: refused. "
            "Remove it (ipcrm -M 0x%08x) and start again\n",
            shm_key.name, user_name(other).text, static_cast<unsigned>(other), user_name(me).text,
            static_cast<unsigned>(shm_key.code));
    exit(1);
}

// Who may use the segment. Without segment_group in kx29.conf every local
// user may (mode 0777), as clients have always expected; with it only the
// daemon's user and the group's members (mode 0660). A group that does not
// exist leaves the daemon's user alone (0600). NO_GROUP: the group stays.
constexpr gid_t NO_GROUP = static_cast<gid_t>(-1);
struct SegmentAccess {
    mode_t mode;
    gid_t gid;
};

static SegmentAccess configured_access() {
    if (segment_group[0] == '\0') return {0777, NO_GROUP};
    if (const group* gr = getgrnam(segment_group)) return {0660, gr->gr_gid};
    fprintf(stderr,
            "Group '%s' (segment_group in kx29.conf) does not exist: shared memory segment '%s' is for user %s "
            "alone. Create the group (addgroup --system %s) and restart the daemon\n",
            segment_group, shm_key.name, user_name(geteuid()).text, segment_group);
    return {0600, NO_GROUP};
}

// Gives the segment the configured mode and group. A change to a segment of
// an earlier start is reported: processes attached before keep their access
// until they detach.
static void set_segment_access(int id, shmid_ds& ds, bool created) {
    const SegmentAccess want = configured_access();
    const mode_t was_mode = ds.shm_perm.mode & 0777;
    const gid_t was_gid = ds.shm_perm.gid;
    if (was_mode != want.mode || (want.gid != NO_GROUP && was_gid != want.gid)) {
        ds.shm_perm.mode = want.mode;
        if (want.gid != NO_GROUP) ds.shm_perm.gid = want.gid;
        if (shmctl(id, IPC_SET, &ds) != 0) shm_failure("Can't set the mode of");
        if (!created)
            fprintf(stderr,
                    "Shared memory segment '%s' changed to mode %04o, group %s (was %04o, group %s); "
                    "processes attached before keep their access until they detach\n",
                    shm_key.name, want.mode, group_name(ds.shm_perm.gid).text, was_mode, group_name(was_gid).text);
    }
    if (want.mode == 0777)
        fprintf(stderr,
                "Shared memory segment '%s' is open to every local user (mode 0777): any of them may read the "
                "images and drive the board. Set segment_group in kx29.conf to allow one group only\n",
                shm_key.name);
}

// The first start of a segment. The segment is visible to other daemons from
// the moment it is created, so who created it cannot decide who fills it.
// Every start claims the PID word first, and only the winner initialises the
// records still blank, whoever created the segment; a start that finds
// another daemon in the word refuses. A client that attaches meanwhile sees
// the daemon running and may read blank records for a moment. A start cut
// short leaves a stale word and blank records, both taken over by the next.
void get_sh_mem() {
    if (curch != nullptr) return;

    bool created = false;
    const int id = find_or_create_segment(&created);
    shmid_ds ds{};
    if (shmctl(id, IPC_STAT, &ds) != 0) shm_failure("Can't inspect");
    check_segment_owner(ds);
    void* addr = shmat(id, nullptr, 0);
    if (addr == reinterpret_cast<void*>(-1)) shm_failure("Can't attach");
    shm_addr = static_cast<unsigned char*>(addr);
    shm_id = id;
    shmctl(id, SHM_LOCK, nullptr);

    fprintf(stderr, "%s shared memory segment '%s' %dbytes at %lx \n", created ? "Create" : "Attach", shm_key.name,
            shm_size, static_cast<unsigned long>(reinterpret_cast<uintptr_t>(shm_addr)));
    set_segment_access(id, ds, created);

    claim_pid_word(getpid());
    const bool fresh = init_blank_records() == KX29_CHANNELS;

    for (int i = 0; i < KX29_CHANNELS; ++i) {
        curch = record_at(i);
        tvch[i] = curch;
        curch->activ = 0;  // left by the daemon before: no channel is switched to yet
        if (!fresh && curch->tandem) tandch = curch;  // a new segment starts on record 0
    }
    curch = tandch != nullptr ? tandch : tvch[0];
}

// ---- FPGA loading, look-up tables and channel switching -----------------------------

// Every set-up write to the board is followed by one bus pause on port 0x80.
static void io_delay() { outp(PORT_IO_DELAY, 0); }

static void board_write(unsigned short offset, unsigned char val) {
    outp(base_port_29 + offset, val);
    io_delay();
}

// Polls the field bit until it changes; at most 99999 reads after the first.
// Returns the polls left, 0 when no change was seen (no video).
static int wait_field_change() {
    const unsigned short status = base_port_29 + PORT_STATUS;
    int ref = inp(status) & STATUS_FIELD;
    int i = 100000;
    while (--i > 0)
        if ((inp(status) & STATUS_FIELD) != ref) break;
    return i;
}

void reset_xil29() {
    outp(base_port_29 + PORT_XIL_RESET_ON, 0);
    for (int i = 0; i < 100; ++i) io_delay();
    outp(base_port_29 + PORT_XIL_RESET_OFF, 0);
    for (int i = 0; i < 1000; ++i) io_delay();
}

// The FPGA takes its configuration serially, one bit per write in bit 0,
// each byte least significant bit first, then eight trailing one-bits.
static void load_xil29(const char* xil_buf, int xil_num) {
    reset_xil29();
    if (xil_num > SPE_BUF_SIZE) xil_num = SPE_BUF_SIZE;
    for (int i = 0; i < xil_num; ++i) {
        const signed char byte = static_cast<signed char>(xil_buf[i]);
        for (int j = 0; j < 8; ++j) board_write(PORT_XIL_DIN, static_cast<unsigned char>(byte >> j));
    }
    for (int i = 0; i < 8; ++i) board_write(PORT_XIL_DIN, 1);
}

// Input table: the identity. Selecting register 0 also rewinds the table.
void init_lut_inp() {
    board_write(PORT_IREG_SELECT, 0);
    for (int i = 0; i < 256; ++i) board_write(PORT_ILUT_DATA, static_cast<unsigned char>(i));
}

// Output table: a grey ramp, three equal components per entry.
static void init_lut_outp() {
    board_write(PORT_OLUT_ADDR, 0);
    for (int i = 0; i < 256; ++i)
        for (int k = 0; k < 3; ++k) board_write(PORT_OLUT_DATA, static_cast<unsigned char>(i));
    outp(base_port_29 + PORT_OLUT_MASK, 255);
}

static const char* spe_name(const ChanDef* cd, int form) { return form == 1 ? cd->spe1.name : cd->spe2.name; }

static void reset_geometry(TVchan* r, const ChanDef* cd, int form) {
    r->img_width = r->frm_width = form == 1 ? cd->cols1 : cd->cols2;
    r->img_height = r->frm_height = form == 1 ? cd->lines1 : cd->lines2;
    r->frm_col0 = r->frm_lin0 = 0;
}

static void print_xil_line(const char* prev_name, const char* new_name) {
    if (set_first_chan)
        printf("Load XIL:  %s\n", new_name);
    else if (strcmp(new_name, prev_name) == 0)
        printf("ReLoad XIL:  %s\n", new_name);
    else
        printf("Change XIL: %s -> %s\n", prev_name, new_name);
}

void set_chan(int ch_num, int ch_form) {
    static int last_ch = 0;
    const int prev_form = curch->form;
    ch_num &= 3;
    if (ch_form < 1) ch_form = 1;
    if (ch_form > 2) ch_form = 2;
    if (set_first_chan) last_ch = curch->num;

    const ChanDef* cd = chan[ch_num];
    curch->activ = 0;
    curch = tvch[ch_num];
    curch->activ = 1;

    const SpeDef* spe = ch_form == 1 ? &cd->spe1 : &cd->spe2;
    if (curch->form != ch_form) reset_geometry(curch, cd, ch_form);
    curch->form = ch_form;

    // A record's num is client-writable: index the configuration safely.
    const char* prev_name = spe_name(chan[last_ch & 3], prev_form);
    load_xil29(spe->buf, spe->size);
    print_xil_line(prev_name, spe->name);

    init_lut_inp();
    if (ver_board_29 == 2) init_lut_outp();

    board_write(PORT_IREG_SELECT, 0);
    board_write(PORT_IREG_DATA, static_cast<unsigned char>((ch_num << 6) | (ch_num << 4) | level_syng_29));
    printf("Change TV channel: %d -> %d\n", last_ch, ch_num);
    set_ref_lev(curch->ref_lev);

    wait_field_change();
    board_write(PORT_CONTROL, tv_out);
    last_ch = ch_num;
    set_first_chan = 0;
}

// ---- Port permissions, start-up, board check and shutdown -------------------------

static int ruid, euid;

void init_io() {
    ruid = kx29_getuid();
    euid = kx29_geteuid();
    if (ruid != 0 && euid != 0) {
        fprintf(stderr, "Wrong user ID (must be 'root')! \n");
        exit(1);
    }
    kx29_setreuid(euid, euid);
    if (kx29_ioperm(static_cast<unsigned long>(base_addr), 1, 1) != 0) {
        fprintf(stderr, "Can't get I/O permissions (are you a SuperUser?)\n");
        exit(1);
    }
    // Only the first grant is checked; a refused port faults on first use.
    for (int k = 1; k < PORT_WINDOW; ++k) kx29_ioperm(static_cast<unsigned long>(base_addr + k), 1, 1);
    kx29_ioperm(PORT_IO_DELAY, 1, 1);
    base_port_29 = static_cast<unsigned short>(base_addr);
    kx29_setreuid(ruid, euid);
}

static void bad_addr(int) {
    fprintf(stderr, "Wrong KX29 BaseAddress = %x\n", base_addr);
    exit(1);
}

static void kx29_check() {
    const int polls_left = wait_field_change();

    const unsigned short data = base_port_29 + PORT_DATA;
    outp(base_port_29 + PORT_ADDR_RESET, 0);
    outp(data, 0x55);
    outp(data, 0xAA);
    outp(base_port_29 + PORT_ADDR_RESET, 0);
    const unsigned char first = inp(data);
    const bool memory_ok = first == 0x55 && inp(data) == 0xAA;
    if (!memory_ok) {
        fprintf(stderr, "Test of KX29 on-board memory FAILED!!!\n");
        fprintf(stderr, "Maybe no board at BaseAddress = 0x%x ?\n", base_addr);
    }
    if (polls_left == 0) fprintf(stderr, "Warning! KX29 - no VIDEO?!\n");
}

// Clears the PID word only while it is ours: a daemon that took over keeps it.
void kx29_exit(int nsig) {
    if (nsig != 0) signal(nsig, SIG_IGN);
    int ours = daemon_pid;
    if (shm_addr != nullptr && ours != 0)
        __atomic_compare_exchange_n(pid_word(), &ours, 0, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    exit(nsig);
}

// The termination signals end the daemon through kx29_exit. All four are
// blocked while it runs, so a second signal cannot cut the shutdown short.
static void install_exit_handler() {
    static const int signals[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM};
    struct sigaction sa = {};
    sa.sa_handler = kx29_exit;
    sigemptyset(&sa.sa_mask);
    for (int s : signals) sigaddset(&sa.sa_mask, s);
    sa.sa_flags = 0;  // no restart: an interrupted sleep resumes by itself
    for (int s : signals) sigaction(s, &sa, nullptr);
}

static void use_key_from_environment() {
    if (!kx29_key_from_env(&shm_key)) {
        report_wrong_key();
        exit(1);
    }
}

[[noreturn]] static void fatal_errno(const char* text) {
    int err = errno;
    perror(text);
    exit(err);
}

void kx29_init() {
    use_key_from_environment();
    read_conf();
    if (check_conf_geometry() != 0) exit(1);
    read_spe_files();
    get_sh_mem();
    install_exit_handler();

    static struct sched_param p;
    p.sched_priority = 1;
    if (kx29_sched_setscheduler(0, SCHED_FIFO, &p) != 0) fatal_errno("Can't set scheduler priority");
    if (kx29_mlockall(MCL_CURRENT) != 0) fatal_errno("Can't lock process memory");

    init_io();
    if (ver_board_29 == 1) tv_out = 0;
    if (ver_board_29 == 2) tv_out = 2;

    signal(SIGSEGV, bad_addr);
    set_chan(curch->num, curch->next_form);
    signal(SIGSEGV, SIG_DFL);
    kx29_check();
}
