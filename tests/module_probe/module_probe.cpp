// A runtime module for tst_runtime_module, built three ways: with the build
// note of this build, with the note of another build, and without a note.
// Its constructor appends its kind to the file $HALVEX_PROBE_MARKER names,
// so the test sees whether any of its code ran.
#include "build_config.h"
#include "platform/session/module_note.h"

#include <cstdio>
#include <cstdlib>

#if defined(HALVEX_PROBE_THIS)
#define HALVEX_PROBE_IDENTITY HALVEX_MODULE_IDENTITY_STRING
HALVEX_MODULE_NOTE(HALVEX_PROBE_IDENTITY);
#elif defined(HALVEX_PROBE_OTHER)
#define HALVEX_PROBE_IDENTITY "another-build"
HALVEX_MODULE_NOTE(HALVEX_PROBE_IDENTITY);
#else
#define HALVEX_PROBE_IDENTITY HALVEX_MODULE_IDENTITY_STRING
#endif

namespace {

__attribute__((constructor)) void announce()
{
    const char *marker = std::getenv("HALVEX_PROBE_MARKER");
    if (!marker)
        return;
    if (FILE *file = std::fopen(marker, "a")) {
        std::fputs("constructor ran\n", file);
        std::fclose(file);
    }
}

} // namespace

extern "C" __attribute__((visibility("default"))) const char *halvex_probe_version()
{
    return HALVEX_PROBE_IDENTITY;
}
