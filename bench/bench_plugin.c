/* The benchmarks' plug-in: every entry point answers at once. GetServerTypeID answers
 * BENCH_TYPE_ID, every other one 1, so AddServer, LoginServer and DelServer succeed. */
#include <velmora/plugin.h>

/* The entry points are generated from the one table and have no use for their arguments. */
#pragma GCC diagnostic ignored "-Wunused-parameter"

VELMORA_PLUGIN_EXPORT VelmoraInt VELMORA_CALL GetServerTypeID(void) { return BENCH_TYPE_ID; }

/* GetServerTypeID is the only required entry point, defined above. */
#define BENCH_ENTRY_REQUIRED(name, parameters)
#define BENCH_ENTRY_OPTIONAL(name, parameters) \
    VELMORA_PLUGIN_EXPORT VelmoraInt VELMORA_CALL name parameters { return 1; }
#define BENCH_ENTRY(name, requirement, parameters) BENCH_ENTRY_##requirement(name, parameters)
VELMORA_ENTRY_POINTS(BENCH_ENTRY)
