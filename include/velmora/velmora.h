/* Velmora host interface: the library's exports and the blocks they take. */
#ifndef VELMORA_VELMORA_H
#define VELMORA_VELMORA_H

#include "types.h"

#if defined(_WIN32)
#define VELMORA_API
#else
#define VELMORA_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Initialisation block: two short strings, a length byte (0...255) followed by that many
 * bytes of text; the text ends early at a zero byte. pluginPath is handed to every
 * plug-in, pluginDirectory names the first directory searched for plug-ins. */
typedef struct VelmoraInitParams {
    unsigned char pluginPath[256];
    unsigned char pluginDirectory[256];
} VelmoraInitParams;

/* Discovers the plug-ins and initialises them; always 1. A null params counts as two
 * empty texts. application (may be 0) is handed to every plug-in's InitDLL. */
VELMORA_API VelmoraInt VELMORA_CALL Velmora_InitSvManage(const VelmoraInitParams *params,
                                                         VelmoraWord application);
/* Shuts every plug-in down (DeInitClient, then DeInitDLL); always 1. */
VELMORA_API VelmoraInt VELMORA_CALL Velmora_DeInitSvManage(void);

#ifdef __cplusplus
}
#endif

#endif
