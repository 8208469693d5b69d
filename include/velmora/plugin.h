/* For plug-in authors: the entry points a plug-in defines and how it exports them.
 * Compiles as C (C99 and later) and as C++.
 *
 * A plug-in is a library named QXDVR*.dll (Windows) or QXDVR*.so (Linux) that defines its
 * entry points with the declarations below, for example
 *
 *     VELMORA_PLUGIN_EXPORT VelmoraInt VELMORA_CALL GetServerTypeID(void) { return 7; }
 *
 * The contract in brief:
 *   - GetServerTypeID is required: a library without it is no plug-in. Every other entry
 *     point is optional; the host gets VELMORA_NOT_FOUND (-1) for a call to a missing one.
 *   - Call order: while the library scans a directory, each plug-in is loaded and asked
 *     GetServerTypeID, loaded again and asked again, handed SetPath (a zero-terminated
 *     text valid during the call only: copy what is kept), then asked GetServerTypeID a
 *     third time: that answer is its type ID. A plug-in whose type ID has no built-in
 *     display name (any but 0, 1 and 2) is then asked GetServerTypeName once. A helper
 *     process may make these discovery calls first, in a process of its own: a plug-in
 *     sees them twice, and what they do besides answering happens twice. Once every
 *     file has been examined, InitDLL(application) and InitClient() follow plug-in by
 *     plug-in; Velmora_DeInitSvManage brings DeInitClient() and DeInitDLL() the same way.
 *     The library never unloads a plug-in.
 *   - Results: whatever an entry point answers reaches the host unchanged, except
 *     SetPath's, which is ignored. AddServer, DelServer and LoginServer answer above 0 for
 *     success: only then does the library register or drop the server.
 *   - LoginServer receives the host's login record, which starts with the two fields of
 *     VelmoraLoginRecord (velmora.h); what the plug-in leaves in them on success is the
 *     server ID and type ID registered.
 *   - StopPlay, PlayCtrl and StopCapture do not receive the server ID.
 *   - GetServerTypeName(buffer, capacity) writes the type's display name into buffer as a
 *     zero-terminated code page 936 text (ASCII is a subset) of at most capacity bytes,
 *     terminator included, and answers its length; an answer below 1 means no name. The
 *     library keeps up to 50 bytes of it (never half a double-byte character) and shows
 *     it wherever a display name appears. Without the entry point the name is empty.
 *   - A fault while the library examines the file (during the three GetServerTypeID calls,
 *     SetPath and GetServerTypeName) only rejects the plug-in; a fault anywhere else
 *     reaches the host.
 *
 * Each entry point of entry_points.h is declared here with VELMORA_PLUGIN_EXPORT, so a
 * definition with other parameter types does not compile.
 */
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

#define VELMORA_DECLARE_ENTRY_POINT(name, requirement, parameters) \
    VELMORA_PLUGIN_EXPORT VelmoraInt VELMORA_CALL name parameters;
VELMORA_ENTRY_POINTS(VELMORA_DECLARE_ENTRY_POINT)
#undef VELMORA_DECLARE_ENTRY_POINT

#endif
