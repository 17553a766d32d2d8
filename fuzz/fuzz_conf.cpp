// libFuzzer target: arbitrary bytes as kx29.conf, read by the daemon's parser.
// Besides the sanitizers' findings it fails when the parser prints anything
// but "Wrong conf.parameter: " reports, when a report shows text that is not
// in the file, when there are more reports than pieces the file is read in,
// or when a text setting is left without its terminating NUL.
#include "kx29.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

// Defaults as compiled in, restored before every input so that each run
// starts from the same state.
struct Settings {
    int ver_board;
    int base;
    char dir[SPE_DIR_SIZE];
    ChanDef chans[KX29_CHANNELS];
};
Settings defaults;

void save(Settings* s) {
    s->ver_board = ver_board_29;
    s->base = base_addr;
    memcpy(s->dir, spe_dir, sizeof spe_dir);
    for (int i = 0; i < KX29_CHANNELS; ++i) s->chans[i] = *chan[i];
}

void restore(const Settings& s) {
    ver_board_29 = s.ver_board;
    base_addr = s.base;
    memcpy(spe_dir, s.dir, sizeof spe_dir);
    for (int i = 0; i < KX29_CHANNELS; ++i) *chan[i] = s.chans[i];
}

[[noreturn]] void fail(const char* what, const char* out, size_t len) {
    fprintf(stderr, "fuzz_conf: %s\n--- output of the parser (%zu bytes) ---\n", what, len);
    fwrite(out, 1, len, stderr);
    fprintf(stderr, "\n---\n");
    abort();
}

// fgets(line, 79, f) hands out pieces of at most 78 bytes, each ending after
// a newline, at 78 bytes or at the end of the file.
size_t count_pieces(const uint8_t* data, size_t size) {
    size_t pieces = 0;
    for (size_t at = 0; at < size; ++pieces) {
        size_t len = 0;
        while (at + len < size && len < 78) {
            if (data[at + len++] == '\n') break;
        }
        at += len;
    }
    return pieces;
}

// Runs f with stderr going into memory; returns what was printed (malloc'ed).
template <typename F>
char* capture_stderr(F f, size_t* len) {
    char* buf = nullptr;
    FILE* mem = open_memstream(&buf, len);
    if (mem == nullptr) abort();
    FILE* saved = stderr;
    stderr = mem;
    f();
    stderr = saved;
    fclose(mem);
    return buf;
}

void check_reports(const char* out, size_t len, const uint8_t* data, size_t size) {
    static const char prefix[] = "Wrong conf.parameter: ";
    const size_t plen = sizeof prefix - 1;
    size_t reports = 0;
    for (size_t at = 0; at < len; ++reports) {
        if (len - at < plen || memcmp(out + at, prefix, plen) != 0) fail("output that is not a report", out, len);
        const size_t text = at + plen;
        const char* nl = static_cast<const char*>(memchr(out + text, '\n', len - text));
        if (nl == nullptr) fail("report without its newline", out, len);
        size_t end = static_cast<size_t>(nl - out) + 1;
        // A name that ran to the end of its piece keeps the piece's newline:
        // the report is then followed by an empty line.
        size_t shown = end - 1 - text;
        if (end < len && out[end] == '\n') {
            ++end;
            ++shown;
        }
        if (shown > 0 && memmem(data, size, out + text, shown) == nullptr)
            fail("report showing text that is not in the file", out, len);
        at = end;
    }
    if (reports > count_pieces(data, size)) fail("more reports than pieces of the file", out, len);
}

void check_text_settings() {
    if (strnlen(spe_dir, sizeof spe_dir) == sizeof spe_dir) abort();
    for (ChanDef* cd : chan) {
        if (strnlen(cd->spe1.name, SPE_NAME_SIZE) == SPE_NAME_SIZE) abort();
        if (strnlen(cd->spe2.name, SPE_NAME_SIZE) == SPE_NAME_SIZE) abort();
    }
}

// The geometry check prints one line per format it refuses.
void check_geometry_report() {
    int bad = 0;
    size_t len = 0;
    char* out = capture_stderr([&] { bad = check_conf_geometry(); }, &len);
    int lines = 0;
    static const char prefix[] = "Wrong image format in kx29.conf: ";
    for (size_t at = 0; at < len; ++lines) {
        if (strncmp(out + at, prefix, sizeof prefix - 1) != 0) fail("unexpected geometry report", out, len);
        const char* nl = static_cast<const char*>(memchr(out + at, '\n', len - at));
        if (nl == nullptr) fail("geometry report without newline", out, len);
        at = static_cast<size_t>(nl - out) + 1;
    }
    if (lines != bad) fail("geometry check result differs from its reports", out, len);
    free(out);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The file is rewritten for every input: scripts/fuzz.sh gives a
    // directory in memory, which it removes afterwards.
    const char* dir = getenv("KX29_FUZZ_DIR");
    char tmpl[] = "/tmp/kx29-fuzz-conf-XXXXXX";
    if (dir == nullptr) dir = mkdtemp(tmpl);
    if (dir == nullptr || chdir(dir) != 0) abort();
    save(&defaults);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    restore(defaults);
    FILE* f = fopen("kx29.conf", "wb");
    if (f == nullptr) abort();
    if (size > 0 && fwrite(data, 1, size, f) != size) abort();
    fclose(f);

    size_t len = 0;
    char* out = capture_stderr(read_conf, &len);
    check_reports(out, len, data, size);
    free(out);
    check_text_settings();
    check_geometry_report();
    return 0;
}
