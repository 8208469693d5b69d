/* The benchmarks' plug-ins that misbehave in GetServerTypeID: BENCH_HANG loops for ever,
 * BENCH_EXIT ends the process. The helper condemns them; the host never loads them. */
#include <velmora/plugin.h>

#include <stdlib.h>

static volatile unsigned spin;

VELMORA_PLUGIN_EXPORT VelmoraInt VELMORA_CALL GetServerTypeID(void) {
#if defined(BENCH_HANG)
    for (;;) spin = spin + 1;
#else
    exit(3);
#endif
}
