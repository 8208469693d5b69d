/* Velmora host interface: the library's exports, the blocks they take and what they answer.
 * Compiles as C (C99 and later) and as C++. */
#ifndef VELMORA_VELMORA_H
#define VELMORA_VELMORA_H

#include "types.h"

#if defined(_WIN32)
#define VELMORA_API
#else
#define VELMORA_API __attribute__((visibility("default")))
#endif

/* Results. A per-server call hands back the plug-in's answer unchanged (above 0 means
 * success for AddServer, DelServer and LoginServer, which register or drop the server only
 * then); the library answers these values by itself. */
/* No such server or server type (also when Velmora_AddServer got no type chosen), the
 * plug-in lacks the entry point, or no record was given; cannot be told from a plug-in
 * that answers -1 itself. */
#define VELMORA_NOT_FOUND (-1)
/* Velmora_AddServer: the server ID is registered already. */
#define VELMORA_ALREADY_REGISTERED (-2)
/* Velmora_InitSvManage, Velmora_DeInitSvManage, Velmora_SetSelectServerCallBack, and
 * Velmora_DelServer for a server that is not registered. */
#define VELMORA_DONE (1)
/* All that Velmora_GetServerTypeInfo and Velmora_SetSvMsgCallBack ever answer: it tells
 * nothing about what happened. */
#define VELMORA_NO_ANSWER (-1)

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

/* Fills one InitParams field from a zero-terminated text (NULL counts as empty), cut after
 * 255 bytes; the unused rest of the field is zeroed. */
static inline void VelmoraSetShortString(unsigned char field[256], const char *text) {
    unsigned int length = 0;
    unsigned int i;
    if (text)
        while (length < 255 && text[length] != '\0') ++length;
    field[0] = (unsigned char)length;
    for (i = 0; i < length; ++i) field[1 + i] = (unsigned char)text[i];
    for (i = length + 1; i < 256; ++i) field[i] = 0;
}

/* The leading fields of the login record; the rest belongs to host and plug-in. */
typedef struct VelmoraLoginRecord {
    VelmoraInt serverId;
    VelmoraInt typeId;
} VelmoraLoginRecord;

/* Called once per server type by Velmora_GetServerTypeInfo; name is valid during the call. */
typedef void(VELMORA_CALL *VelmoraServerTypeCallBack)(VelmoraInt typeId, const char *name,
                                                       VelmoraWord user);
/* Chooses the type of a server being added in place of the dialog: receives the display
 * names (valid during the call) and answers an index, anything else meaning no choice. */
typedef VelmoraInt(VELMORA_CALL *VelmoraSelectServerCallBack)(VelmoraInt count,
                                                              const char *const *names,
                                                              VelmoraWord user);

/* Lifecycle. */
VELMORA_API VelmoraInt VELMORA_CALL Velmora_InitSvManage(const VelmoraInitParams *params,
                                                         VelmoraWord application);
VELMORA_API VelmoraInt VELMORA_CALL Velmora_DeInitSvManage(void);

/* Registry: VELMORA_ALREADY_REGISTERED from Velmora_AddServer for an ID registered
 * already, VELMORA_DONE from Velmora_DelServer for an unknown server or type, otherwise
 * the plug-in's result, above 0 meaning success. Without a selection callback
 * Velmora_AddServer asks the user for the type in a dialog (Windows; elsewhere no type is
 * chosen). */
VELMORA_API VelmoraInt VELMORA_CALL Velmora_AddServer(VelmoraInt server);
VELMORA_API VelmoraInt VELMORA_CALL Velmora_DelServer(VelmoraInt server);
VELMORA_API VelmoraInt VELMORA_CALL Velmora_LoginServer(VelmoraLoginRecord *record);
VELMORA_API VelmoraInt VELMORA_CALL Velmora_SetSelectServerCallBack(
    VelmoraSelectServerCallBack callback, VelmoraWord user);

/* Server types: Velmora_GetServerTypeInfo and Velmora_SetSvMsgCallBack always answer
 * VELMORA_NO_ANSWER; Velmora_GetServerTypeID answers VELMORA_NOT_FOUND for a name no
 * type has. */
VELMORA_API VelmoraInt VELMORA_CALL Velmora_GetServerTypeInfo(VelmoraServerTypeCallBack callback,
                                                              VelmoraWord user);
VELMORA_API VelmoraInt VELMORA_CALL Velmora_GetServerTypeID(const char *name);
VELMORA_API VelmoraInt VELMORA_CALL Velmora_SetSvMsgCallBack(VelmoraWord w1, VelmoraWord w2);

/* Per-server calls, handed to the plug-in of the server's type: VELMORA_NOT_FOUND for a
 * server not registered or a plug-in without the entry point. */
VELMORA_API VelmoraInt VELMORA_CALL Velmora_GetHeader(VelmoraInt server, VelmoraWord w2,
                                                      VelmoraWord w3, VelmoraWord w4);
VELMORA_API VelmoraInt VELMORA_CALL Velmora_ChangeServer(VelmoraInt server);
VELMORA_API VelmoraInt VELMORA_CALL Velmora_ChangeChannel(VelmoraInt server, VelmoraWord w2);
VELMORA_API VelmoraInt VELMORA_CALL Velmora_GetSvChInfo(VelmoraInt server, VelmoraWord w2,
                                                        VelmoraWord w3);
VELMORA_API VelmoraInt VELMORA_CALL Velmora_GetChannelInfo(VelmoraInt server, VelmoraWord w2,
                                                           VelmoraWord w3);
VELMORA_API VelmoraInt VELMORA_CALL Velmora_GetServerInfo(VelmoraInt server, VelmoraWord w2);
VELMORA_API VelmoraInt VELMORA_CALL Velmora_LoadPreInfo(VelmoraInt server, VelmoraWord w2,
                                                        VelmoraWord w3, VelmoraWord w4);
VELMORA_API VelmoraInt VELMORA_CALL Velmora_GoToPreset(VelmoraInt server, VelmoraWord w2,
                                                       VelmoraWord w3);
VELMORA_API VelmoraInt VELMORA_CALL Velmora_DelPreset(VelmoraInt server, VelmoraWord w2,
                                                      VelmoraWord w3);
VELMORA_API VelmoraInt VELMORA_CALL Velmora_SetPreset(VelmoraInt server, VelmoraWord w2,
                                                      VelmoraWord w3, VelmoraWord w4);
VELMORA_API VelmoraInt VELMORA_CALL Velmora_PTZControl(VelmoraInt server, VelmoraWord w2,
                                                       VelmoraWord w3, VelmoraWord w4,
                                                       VelmoraWord w5);
VELMORA_API VelmoraInt VELMORA_CALL Velmora_GetProtocolInfo(VelmoraInt server, VelmoraWord w2,
                                                            VelmoraWord w3);
VELMORA_API VelmoraInt VELMORA_CALL Velmora_StartGetVideoData(VelmoraInt server, VelmoraWord w2,
                                                              VelmoraWord w3, VelmoraWord w4);
VELMORA_API VelmoraInt VELMORA_CALL Velmora_StopGetVideoData(VelmoraInt server, VelmoraWord w2);
VELMORA_API VelmoraInt VELMORA_CALL Velmora_GetCapFileList(VelmoraInt server, VelmoraWord w2,
                                                           VelmoraWord w3, VelmoraBlock24 blockA,
                                                           VelmoraBlock24 blockB, VelmoraWord w16,
                                                           VelmoraWord w17);
VELMORA_API VelmoraInt VELMORA_CALL Velmora_StartPlay(VelmoraInt server, VelmoraWord w2,
                                                      VelmoraWord w3, VelmoraWord w4,
                                                      VelmoraWord w5, VelmoraWord w6);
/* The server ID of these three only finds the plug-in; it is not passed on. */
VELMORA_API VelmoraInt VELMORA_CALL Velmora_StopPlay(VelmoraInt server, VelmoraWord w2);
VELMORA_API VelmoraInt VELMORA_CALL Velmora_PlayCtrl(VelmoraInt server, VelmoraWord w2,
                                                     VelmoraWord w3, VelmoraWord w4,
                                                     VelmoraWord w5);
VELMORA_API VelmoraInt VELMORA_CALL Velmora_StartCapture(VelmoraInt server, VelmoraWord w2,
                                                         VelmoraWord w3);
VELMORA_API VelmoraInt VELMORA_CALL Velmora_StopCapture(VelmoraInt server, VelmoraWord w2);

#ifdef __cplusplus
}
#endif

#endif
