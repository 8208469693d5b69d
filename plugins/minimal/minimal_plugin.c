/* The smallest useful plug-in: it reports its type ID and says hello when initialised.
 * MINIMAL_TYPE_ID is set by the build. */
#include <velmora/plugin.h>

#include <stdio.h>

VELMORA_PLUGIN_EXPORT VelmoraInt VELMORA_CALL GetServerTypeID(void) { return MINIMAL_TYPE_ID; }

VELMORA_PLUGIN_EXPORT VelmoraInt VELMORA_CALL InitDLL(VelmoraWord application) {
    printf("  plug-in of type %d: InitDLL(application %p)\n", MINIMAL_TYPE_ID, (void *)application);
    return 1;
}
