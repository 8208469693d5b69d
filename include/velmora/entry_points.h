/* The thirty-one plug-in entry points, declared once.
 *
 * VELMORA_ENTRY_POINTS(X) expands X(name, requirement, parameters) for every entry point,
 * in the order the library keeps them. requirement is REQUIRED or OPTIONAL: a file
 * without a required entry point is not a plug-in; a missing optional one makes its call
 * answer -1 (SetPath is simply not called). Every entry point returns a VelmoraInt;
 * whatever SetPath returns is ignored.
 *
 * VELMORA_ENTRY_POINT_TYPES below turns the table into one function-pointer type per
 * entry point, VelmoraEntry_<name>.
 */
#ifndef VELMORA_ENTRY_POINTS_H
#define VELMORA_ENTRY_POINTS_H

#include "types.h"

#define VELMORA_ENTRY_POINTS(X)                                                            \
    X(InitDLL, OPTIONAL, (VelmoraWord application))                                       \
    X(DeInitDLL, OPTIONAL, (void))                                                        \
    X(DeInitClient, OPTIONAL, (void))                                                     \
    X(SetPath, OPTIONAL, (const char *text))                                              \
    X(GetServerTypeID, REQUIRED, (void))                                                  \
    X(SetSvMsgCallBack, OPTIONAL, (VelmoraWord w1, VelmoraWord w2))                       \
    X(GetHeader, OPTIONAL, (VelmoraInt server, VelmoraWord w2, VelmoraWord w3, VelmoraWord w4)) \
    X(AddServer, OPTIONAL, (VelmoraInt server))                                           \
    X(DelServer, OPTIONAL, (VelmoraInt server))                                           \
    X(ChangeServer, OPTIONAL, (VelmoraInt server))                                        \
    X(GetSvChInfo, OPTIONAL, (VelmoraInt server, VelmoraWord w2, VelmoraWord w3))         \
    X(ChangeChannel, OPTIONAL, (VelmoraInt server, VelmoraWord w2))                       \
    X(GetChannelInfo, OPTIONAL, (VelmoraInt server, VelmoraWord w2, VelmoraWord w3))      \
    X(GetServerInfo, OPTIONAL, (VelmoraInt server, VelmoraWord w2))                       \
    X(LoadPreInfo, OPTIONAL, (VelmoraInt server, VelmoraWord w2, VelmoraWord w3, VelmoraWord w4)) \
    X(GoToPreset, OPTIONAL, (VelmoraInt server, VelmoraWord w2, VelmoraWord w3))          \
    X(DelPreset, OPTIONAL, (VelmoraInt server, VelmoraWord w2, VelmoraWord w3))           \
    X(SetPreset, OPTIONAL, (VelmoraInt server, VelmoraWord w2, VelmoraWord w3, VelmoraWord w4)) \
    X(GetProtocolInfo, OPTIONAL, (VelmoraInt server, VelmoraWord w2, VelmoraWord w3))     \
    X(InitClient, OPTIONAL, (void))                                                       \
    X(PTZControl, OPTIONAL,                                                               \
      (VelmoraInt server, VelmoraWord w2, VelmoraWord w3, VelmoraWord w4, VelmoraWord w5))  \
    X(StartGetVideoData, OPTIONAL,                                                        \
      (VelmoraInt server, VelmoraWord w2, VelmoraWord w3, VelmoraWord w4))                \
    X(StopGetVideoData, OPTIONAL, (VelmoraInt server, VelmoraWord w2))                    \
    X(LoginServer, OPTIONAL, (void *record))                                              \
    X(GetCapFileList, OPTIONAL,                                                           \
      (VelmoraInt server, VelmoraWord w2, VelmoraWord w3, VelmoraBlock24 blockA,            \
       VelmoraBlock24 blockB, VelmoraWord w16, VelmoraWord w17))                          \
    X(StartPlay, OPTIONAL,                                                                \
      (VelmoraInt server, VelmoraWord w2, VelmoraWord w3, VelmoraWord w4, VelmoraWord w5,   \
       VelmoraWord w6))                                                                   \
    X(StopPlay, OPTIONAL, (VelmoraWord w2))                                               \
    X(PlayCtrl, OPTIONAL, (VelmoraWord w2, VelmoraWord w3, VelmoraWord w4, VelmoraWord w5)) \
    X(StartCapture, OPTIONAL, (VelmoraInt server, VelmoraWord w2, VelmoraWord w3))        \
    X(StopCapture, OPTIONAL, (VelmoraWord w2))                                            \
    X(GetServerTypeName, OPTIONAL, (char *buffer, VelmoraInt capacity))

#define VELMORA_DECLARE_ENTRY_TYPE(name, requirement, parameters) \
    typedef VelmoraInt(VELMORA_CALL *VelmoraEntry_##name) parameters;
VELMORA_ENTRY_POINTS(VELMORA_DECLARE_ENTRY_TYPE)
#undef VELMORA_DECLARE_ENTRY_TYPE

#endif
