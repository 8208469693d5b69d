/* For plug-in authors: how an entry point is exported. The entry points and their
 * parameters are listed in entry_points.h. */
#ifndef VELMORA_PLUGIN_H
#define VELMORA_PLUGIN_H

#include "entry_points.h"

#ifdef __cplusplus
#define VELMORA_PLUGIN_EXTERN_C extern "C"
#else
#define VELMORA_PLUGIN_EXTERN_C
#endif

/* On 32-bit Windows, link with -Wl,--kill-at (mingw) or list the names in a .def file so
 * that the stdcall entry points are exported under their bare names. */
#if defined(_WIN32)
#define VELMORA_PLUGIN_EXPORT VELMORA_PLUGIN_EXTERN_C __declspec(dllexport)
#else
#define VELMORA_PLUGIN_EXPORT VELMORA_PLUGIN_EXTERN_C __attribute__((visibility("default")))
#endif

#endif
