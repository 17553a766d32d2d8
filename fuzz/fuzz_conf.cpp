// libFuzzer target: arbitrary bytes as kx29.conf, read by the daemon's parser
// and checked by its geometry check. Besides the sanitizers' findings it fails
// when the parser prints anything but "Wrong conf.parameter: " lines, when a
// text setting is left without its terminating NUL, or when the geometry
// check's result differs from the number of formats it reports.
#include "kx29.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

ChanDef default_chans[KX29_CHANNELS];
char default_dir[SPE_DIR_SIZE];

// Runs f with stderr going into memory; returns the number of lines printed,
// or -1 when one does not start with `prefix`.
template <typename F>
int lines_printed(F f, const char* prefix) {
    char* buf = nullptr;
    size_t len = 0;
    FILE* mem = open_memstream(&buf, &len);
    if (mem == nullptr) abort();
    FILE* saved = stderr;
    stderr = mem;
    f();
    stderr = saved;
    fclose(mem);
    int lines = 0;
    for (size_t at = 0; at < len && lines >= 0; ++lines) {
        // A name that ran to the end of its piece keeps the piece's newline:
        // its report is followed by an empty line.
        if (buf[at] == '\n') {
            ++at;
            continue;
        }
        const char* nl = static_cast<const char*>(memchr(buf + at, '\n', len - at));
        if (strncmp(buf + at, prefix, strlen(prefix)) != 0 || nl == nullptr) lines = -2;
        at = nl == nullptr ? len : static_cast<size_t>(nl - buf) + 1;
    }
    free(buf);
    return lines;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The file is rewritten for every input: scripts/fuzz.sh gives a
    // directory in memory, which it removes afterwards.
    const char* dir = getenv("KX29_FUZZ_DIR");
    char tmpl[] = "/tmp/kx29-fuzz-conf-XXXXXX";
    if (dir == nullptr) dir = mkdtemp(tmpl);
    if (dir == nullptr || chdir(dir) != 0) abort();
    for (int i = 0; i < KX29_CHANNELS; ++i) default_chans[i] = *chan[i];
    memcpy(default_dir, spe_dir, sizeof spe_dir);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    for (int i = 0; i < KX29_CHANNELS; ++i) *chan[i] = default_chans[i];  // every run from the defaults
    memcpy(spe_dir, default_dir, sizeof spe_dir);
    FILE* f = fopen("kx29.conf", "wb");
    if (f == nullptr || (size > 0 && fwrite(data, 1, size, f) != size)) abort();
    fclose(f);

    if (lines_printed(read_conf, "Wrong conf.parameter: ") < 0) abort();
    if (strnlen(spe_dir, sizeof spe_dir) == sizeof spe_dir) abort();
    for (ChanDef* cd : chan)
        if (strnlen(cd->spe1.name, SPE_NAME_SIZE) == SPE_NAME_SIZE || strnlen(cd->spe2.name, SPE_NAME_SIZE) == SPE_NAME_SIZE)
            abort();
    int bad = 0;
    if (lines_printed([&] { bad = check_conf_geometry(); }, "Wrong image format in kx29.conf: ") != bad) abort();
    return 0;
}
