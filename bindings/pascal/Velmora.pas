{ Velmora import unit for Delphi and Free Pascal hosts: the library's exports, the blocks
  they take, the callback types and the result values, as in include/velmora/velmora.h.

  Every export is stdcall, which is the calling convention of the 32-bit Windows DLL and is
  ignored by the x86_64 targets, where the one platform convention applies (Free Pascal
  accepts it on Linux too).

  Results: a per-server call hands back the plug-in's answer unchanged (above 0 means
  success for AddServer, DelServer and LoginServer, which register or drop the server only
  then); the library answers the VELMORA_* values below by itself. }
unit Velmora;

{$IFDEF FPC}
  {$MODE DELPHI}
{$ENDIF}

interface

const
{$IFDEF MSWINDOWS}
  VelmoraLibrary = 'Velmora.dll';
{$ELSE}
  VelmoraLibrary = 'Velmora';
{$ENDIF}

  { No such server or server type (also when Velmora_AddServer got no type chosen), the
    plug-in lacks the entry point, or no record was given. }
  VELMORA_NOT_FOUND = -1;
  { Velmora_AddServer: the server ID is registered already. }
  VELMORA_ALREADY_REGISTERED = -2;
  { Velmora_InitSvManage, Velmora_DeInitSvManage, Velmora_SetSelectServerCallBack, and
    Velmora_DelServer for a server that is not registered. }
  VELMORA_DONE = 1;
  { All that Velmora_GetServerTypeInfo and Velmora_SetSvMsgCallBack ever answer. }
  VELMORA_NO_ANSWER = -1;

type
  { Server IDs, type IDs and results: 32-bit everywhere. }
  TVelmoraInt = Int32;
  { The application object, callback user values and the opaque values w2...w17:
    pointer-sized, so a pointer passed through them survives. }
  TVelmoraWord = NativeInt;

  { One of the two opaque 24-byte blocks of GetCapFileList, passed by value. }
  TVelmoraBlock24 = packed record
    Bytes: array[0..23] of Byte;
  end;

  { The initialisation block: two short strings. PluginPath is handed to every plug-in,
    PluginDirectory names the first directory searched for plug-ins. }
  TVelmoraInitParams = packed record
    PluginPath: string[255];
    PluginDirectory: string[255];
  end;
  PVelmoraInitParams = ^TVelmoraInitParams;

  { The leading fields of the login record; the rest belongs to host and plug-in. }
  TVelmoraLoginRecord = packed record
    ServerId: TVelmoraInt;
    TypeId: TVelmoraInt;
  end;
  PVelmoraLoginRecord = ^TVelmoraLoginRecord;

  PPAnsiCharArray = ^TPAnsiCharArray;
  TPAnsiCharArray = array[0..MaxInt div SizeOf(PAnsiChar) - 1] of PAnsiChar;

  { Called once per server type by Velmora_GetServerTypeInfo; Name is valid during the call. }
  TVelmoraServerTypeCallBack = procedure(TypeId: TVelmoraInt; Name: PAnsiChar;
    User: TVelmoraWord); stdcall;
  { Chooses the type of a server being added in place of the dialog: receives Count display
    names (valid during the call) and answers an index, anything else meaning no choice. }
  TVelmoraSelectServerCallBack = function(Count: TVelmoraInt; Names: PPAnsiCharArray;
    User: TVelmoraWord): TVelmoraInt; stdcall;

{ Lifecycle. }
function Velmora_InitSvManage(Params: PVelmoraInitParams; Application: TVelmoraWord): TVelmoraInt;
  stdcall; external VelmoraLibrary name 'Velmora_InitSvManage';
function Velmora_DeInitSvManage: TVelmoraInt;
  stdcall; external VelmoraLibrary name 'Velmora_DeInitSvManage';

{ Registry. }
function Velmora_AddServer(Server: TVelmoraInt): TVelmoraInt;
  stdcall; external VelmoraLibrary name 'Velmora_AddServer';
function Velmora_DelServer(Server: TVelmoraInt): TVelmoraInt;
  stdcall; external VelmoraLibrary name 'Velmora_DelServer';
function Velmora_LoginServer(LoginRecord: PVelmoraLoginRecord): TVelmoraInt;
  stdcall; external VelmoraLibrary name 'Velmora_LoginServer';
function Velmora_SetSelectServerCallBack(CallBack: TVelmoraSelectServerCallBack;
  User: TVelmoraWord): TVelmoraInt;
  stdcall; external VelmoraLibrary name 'Velmora_SetSelectServerCallBack';

{ Server types. }
function Velmora_GetServerTypeInfo(CallBack: TVelmoraServerTypeCallBack;
  User: TVelmoraWord): TVelmoraInt;
  stdcall; external VelmoraLibrary name 'Velmora_GetServerTypeInfo';
function Velmora_GetServerTypeID(Name: PAnsiChar): TVelmoraInt;
  stdcall; external VelmoraLibrary name 'Velmora_GetServerTypeID';
function Velmora_SetSvMsgCallBack(W1, W2: TVelmoraWord): TVelmoraInt;
  stdcall; external VelmoraLibrary name 'Velmora_SetSvMsgCallBack';

{ Per-server calls, handed to the plug-in of the server's type. }
function Velmora_GetHeader(Server: TVelmoraInt; W2, W3, W4: TVelmoraWord): TVelmoraInt;
  stdcall; external VelmoraLibrary name 'Velmora_GetHeader';
function Velmora_ChangeServer(Server: TVelmoraInt): TVelmoraInt;
  stdcall; external VelmoraLibrary name 'Velmora_ChangeServer';
function Velmora_ChangeChannel(Server: TVelmoraInt; W2: TVelmoraWord): TVelmoraInt;
  stdcall; external VelmoraLibrary name 'Velmora_ChangeChannel';
function Velmora_GetSvChInfo(Server: TVelmoraInt; W2, W3: TVelmoraWord): TVelmoraInt;
  stdcall; external VelmoraLibrary name 'Velmora_GetSvChInfo';
function Velmora_GetChannelInfo(Server: TVelmoraInt; W2, W3: TVelmoraWord): TVelmoraInt;
  stdcall; external VelmoraLibrary name 'Velmora_GetChannelInfo';
function Velmora_GetServerInfo(Server: TVelmoraInt; W2: TVelmoraWord): TVelmoraInt;
  stdcall; external VelmoraLibrary name 'Velmora_GetServerInfo';
function Velmora_LoadPreInfo(Server: TVelmoraInt; W2, W3, W4: TVelmoraWord): TVelmoraInt;
  stdcall; external VelmoraLibrary name 'Velmora_LoadPreInfo';
function Velmora_GoToPreset(Server: TVelmoraInt; W2, W3: TVelmoraWord): TVelmoraInt;
  stdcall; external VelmoraLibrary name 'Velmora_GoToPreset';
function Velmora_DelPreset(Server: TVelmoraInt; W2, W3: TVelmoraWord): TVelmoraInt;
  stdcall; external VelmoraLibrary name 'Velmora_DelPreset';
function Velmora_SetPreset(Server: TVelmoraInt; W2, W3, W4: TVelmoraWord): TVelmoraInt;
  stdcall; external VelmoraLibrary name 'Velmora_SetPreset';
function Velmora_PTZControl(Server: TVelmoraInt; W2, W3, W4, W5: TVelmoraWord): TVelmoraInt;
  stdcall; external VelmoraLibrary name 'Velmora_PTZControl';
function Velmora_GetProtocolInfo(Server: TVelmoraInt; W2, W3: TVelmoraWord): TVelmoraInt;
  stdcall; external VelmoraLibrary name 'Velmora_GetProtocolInfo';
function Velmora_StartGetVideoData(Server: TVelmoraInt; W2, W3, W4: TVelmoraWord): TVelmoraInt;
  stdcall; external VelmoraLibrary name 'Velmora_StartGetVideoData';
function Velmora_StopGetVideoData(Server: TVelmoraInt; W2: TVelmoraWord): TVelmoraInt;
  stdcall; external VelmoraLibrary name 'Velmora_StopGetVideoData';
function Velmora_GetCapFileList(Server: TVelmoraInt; W2, W3: TVelmoraWord;
  BlockA, BlockB: TVelmoraBlock24; W16, W17: TVelmoraWord): TVelmoraInt;
  stdcall; external VelmoraLibrary name 'Velmora_GetCapFileList';
function Velmora_StartPlay(Server: TVelmoraInt; W2, W3, W4, W5, W6: TVelmoraWord): TVelmoraInt;
  stdcall; external VelmoraLibrary name 'Velmora_StartPlay';
{ The server ID of these three only finds the plug-in; it is not passed on. }
function Velmora_StopPlay(Server: TVelmoraInt; W2: TVelmoraWord): TVelmoraInt;
  stdcall; external VelmoraLibrary name 'Velmora_StopPlay';
function Velmora_PlayCtrl(Server: TVelmoraInt; W2, W3, W4, W5: TVelmoraWord): TVelmoraInt;
  stdcall; external VelmoraLibrary name 'Velmora_PlayCtrl';
function Velmora_StartCapture(Server: TVelmoraInt; W2, W3: TVelmoraWord): TVelmoraInt;
  stdcall; external VelmoraLibrary name 'Velmora_StartCapture';
function Velmora_StopCapture(Server: TVelmoraInt; W2: TVelmoraWord): TVelmoraInt;
  stdcall; external VelmoraLibrary name 'Velmora_StopCapture';

implementation

end.
