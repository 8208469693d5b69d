/* Word sizes and calling convention shared by hosts, the library and plug-ins.
 *
 * On the 32-bit Windows build every value below is 32 bits wide and every call is
 * stdcall, so argument areas are exactly what 32-bit hosts and plug-ins expect.
 * On the 64-bit builds:
 *   - server IDs, type IDs and every result stay signed 32-bit (VelmoraInt);
 *   - the application object, text and record addresses, callback user values and
 *     the opaque values w1...w17 are pointer-sized (VelmoraWord), so a pointer
 *     passed through them survives;
 *   - the two blocks of GetCapFileList stay 24 bytes and travel by value.
 */
#ifndef VELMORA_TYPES_H
#define VELMORA_TYPES_H

#include <stdint.h>

#if defined(_WIN32) && !defined(_WIN64)
#define VELMORA_CALL __stdcall
#else
#define VELMORA_CALL
#endif

typedef int32_t VelmoraInt;
typedef intptr_t VelmoraWord;

/* One of the two opaque 24-byte blocks of GetCapFileList. */
typedef struct VelmoraBlock24 {
    unsigned char bytes[24];
} VelmoraBlock24;

#endif
