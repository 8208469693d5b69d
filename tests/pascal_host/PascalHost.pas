{ A Free Pascal host using bindings/pascal/Velmora.pas, linked to the library.

      PascalHost FIXTURE_DIRECTORY SAMPLE_DIRECTORY

  FIXTURE_DIRECTORY holds the C fixture plug-ins of the test build (tests/fixtures/c_plugin.c):
  types 0 and 1 with every entry point, type 7 with GetServerTypeID only. Each of their
  entry points answers type ID * 100000 + position in the entry-point table * 1000 +
  1 * a1 + 2 * a2 + ..., a block counting as the sum of its bytes, so every argument is
  checked in its place. SAMPLE_DIRECTORY holds the sample plug-in (plugins/sample), used as
  a host uses a real one. In both the host initialises the library, lists the types through
  the callback, adds or logs in servers, forwards calls, deletes them and shuts down,
  checking every answer. Exits 1 on any mismatch.

  On 32-bit Windows, as a Delphi host relies on, every export call must leave the stack
  pointer where it was: a unit that declared an argument otherwise than the DLL takes it
  (a 24-byte block of GetCapFileList as const or var, pushed as a 4-byte address; a
  missing stdcall) moves it. Each procedure records its stack pointer on entry and
  compares it after every statement that calls the library. A callback called with
  another convention than it was declared with leaves the export balanced (the library
  restores its frame), but the type callback, called once per type, then finds the stack
  at another place on each call. }
program PascalHost;

{$MODE DELPHI}
{$ASMMODE INTEL}

uses
  Velmora;

type
  TTypeList = record
    Count: Integer;
    TypeIds: array[0..7] of TVelmoraInt;
    Names: array[0..7] of AnsiString;
    User: TVelmoraWord;
    { The callback's stack pointer on each call: one caller calling it in a loop must
      find its stack where it was each time, which holds only when both sides agree
      that the callback removes its arguments (stdcall). }
    CallStack: array[0..7] of PtrUInt;
  end;
  PTypeList = ^TTypeList;

  { The sample plug-in's records and constants (plugins/sample/sample_plugin.h). }
  TSampleTime = packed record
    Year, Month, Day, Hour, Minute, Second: TVelmoraInt;
  end;
  TSampleLoginRecord = packed record
    ServerId, TypeId: TVelmoraInt; { TVelmoraLoginRecord }
    Address: array[0..63] of AnsiChar;
    Port: TVelmoraInt;
    User, Password: array[0..31] of AnsiChar;
  end;
  TSampleServerInfo = packed record
    ServerId, LoggedIn, ChannelCount, CurrentChannel, Port: TVelmoraInt;
    Address: array[0..63] of AnsiChar;
    Model, Firmware: array[0..31] of AnsiChar;
  end;
  TSampleChannelInfo = packed record
    Channel, Width, Height, FramesPerSecond, HasPtz, Pan, Tilt, Zoom: TVelmoraInt;
    Name: array[0..31] of AnsiChar;
  end;
  TSampleRecordFile = packed record
    Name: array[0..31] of AnsiChar;
    Start, Finish: TSampleTime;
    Channel, SizeKiB: TVelmoraInt;
  end;
  TMessages = record
    Count: Integer;
    LastServer, LastMessage: TVelmoraInt;
  end;
  PMessages = ^TMessages;

  TChoice = record
    Wanted: AnsiString;
    Calls: Integer;
    Count: TVelmoraInt;
  end;
  PChoice = ^TChoice;

const
  SAMPLE_MSG_LOGGED_IN = 2;
  SAMPLE_MSG_DELETED = 3;
  SAMPLE_PTZ_LEFT = 3;

var
  Checks: Integer = 0;
  Failures: Integer = 0;

procedure Expect(const What: string; Got, Want: Int64);
begin
  Inc(Checks);
  if Got = Want then
    Exit;
  Inc(Failures);
  WriteLn('MISMATCH ', What, ': got ', Got, ', want ', Want);
end;

{ The caller's stack pointer as it is between statements: no argument of this function is
  pushed, and its return address is left out. }
function StackPointer: PtrUInt; assembler; nostackframe;
asm
{$IFDEF CPUI386}
  lea eax, [esp + 4]
{$ELSE}
  lea rax, [rsp + 8]
{$ENDIF}
end;

{ A moved stack pointer leaves the caller's frame unreliable, so the host stops there. }
procedure Balanced(const What: string; Frame, Now: PtrUInt);
begin
  Expect('stack pointer moved by ' + What + ' (bytes)', Int64(Now) - Int64(Frame), 0);
  if Now <> Frame then
  begin
    Flush(Output);
    Halt(1);
  end;
end;

function Answer(TypeId, Position, Sum: Integer): TVelmoraInt;
begin
  Result := TypeId * 100000 + Position * 1000 + Sum;
end;

procedure ListType(TypeId: TVelmoraInt; Name: PAnsiChar; User: TVelmoraWord); stdcall;
var
  List: PTypeList;
begin
  List := PTypeList(User);
  List^.User := User;
  if List^.Count > High(List^.TypeIds) then
  begin
    Expect('type list fits', 0, 1);
    Exit;
  end;
  List^.CallStack[List^.Count] := StackPointer;
  List^.TypeIds[List^.Count] := TypeId;
  List^.Names[List^.Count] := AnsiString(Name);
  Inc(List^.Count);
end;

function Choose(Count: TVelmoraInt; Names: PPAnsiCharArray; User: TVelmoraWord): TVelmoraInt; stdcall;
var
  Choice: PChoice;
  I: Integer;
begin
  Choice := PChoice(User);
  Inc(Choice^.Calls);
  Choice^.Count := Count;
  for I := 0 to Count - 1 do
    if AnsiString(Names^[I]) = Choice^.Wanted then
      Exit(I);
  Result := -1;
end;

function IndexOfType(const List: TTypeList; TypeId: TVelmoraInt): Integer;
var
  I: Integer;
begin
  for I := 0 to List.Count - 1 do
    if List.TypeIds[I] = TypeId then
      Exit(I);
  Result := -1;
end;

{ The twenty per-server calls; StopPlay, PlayCtrl and StopCapture do not pass the server ID
  on. The blocks of GetCapFileList count as the sums of their bytes. }
procedure CheckForwarded(S, T: TVelmoraInt);
var
  BlockA, BlockB: TVelmoraBlock24;
  I: Integer;
  Frame: PtrUInt;
begin
  Frame := StackPointer;
  for I := 0 to 23 do
  begin
    BlockA.Bytes[I] := I; { sum 276 }
    BlockB.Bytes[I] := 2; { sum 48 }
  end;
  Expect('GetHeader', Velmora_GetHeader(S, 2, 3, 4), Answer(T, 7, S + 4 + 9 + 16));
  Balanced('GetHeader', Frame, StackPointer);
  Expect('ChangeServer', Velmora_ChangeServer(S), Answer(T, 10, S));
  Balanced('ChangeServer', Frame, StackPointer);
  Expect('GetSvChInfo', Velmora_GetSvChInfo(S, 2, 3), Answer(T, 11, S + 4 + 9));
  Balanced('GetSvChInfo', Frame, StackPointer);
  Expect('ChangeChannel', Velmora_ChangeChannel(S, 2), Answer(T, 12, S + 4));
  Balanced('ChangeChannel', Frame, StackPointer);
  Expect('GetChannelInfo', Velmora_GetChannelInfo(S, 2, 3), Answer(T, 13, S + 4 + 9));
  Balanced('GetChannelInfo', Frame, StackPointer);
  Expect('GetServerInfo', Velmora_GetServerInfo(S, 2), Answer(T, 14, S + 4));
  Balanced('GetServerInfo', Frame, StackPointer);
  Expect('LoadPreInfo', Velmora_LoadPreInfo(S, 2, 3, 4), Answer(T, 15, S + 4 + 9 + 16));
  Balanced('LoadPreInfo', Frame, StackPointer);
  Expect('GoToPreset', Velmora_GoToPreset(S, 2, 3), Answer(T, 16, S + 4 + 9));
  Balanced('GoToPreset', Frame, StackPointer);
  Expect('DelPreset', Velmora_DelPreset(S, 2, 3), Answer(T, 17, S + 4 + 9));
  Balanced('DelPreset', Frame, StackPointer);
  Expect('SetPreset', Velmora_SetPreset(S, 2, 3, 4), Answer(T, 18, S + 4 + 9 + 16));
  Balanced('SetPreset', Frame, StackPointer);
  Expect('GetProtocolInfo', Velmora_GetProtocolInfo(S, 2, 3), Answer(T, 19, S + 4 + 9));
  Balanced('GetProtocolInfo', Frame, StackPointer);
  Expect('PTZControl', Velmora_PTZControl(S, 2, 3, 4, 5), Answer(T, 21, S + 4 + 9 + 16 + 25));
  Balanced('PTZControl', Frame, StackPointer);
  Expect('StartGetVideoData', Velmora_StartGetVideoData(S, 2, 3, 4), Answer(T, 22, S + 4 + 9 + 16));
  Balanced('StartGetVideoData', Frame, StackPointer);
  Expect('StopGetVideoData', Velmora_StopGetVideoData(S, 2), Answer(T, 23, S + 4));
  Balanced('StopGetVideoData', Frame, StackPointer);
  Expect('GetCapFileList', Velmora_GetCapFileList(S, 2, 3, BlockA, BlockB, 5, 6),
    Answer(T, 25, S + 4 + 9 + 4 * 276 + 5 * 48 + 30 + 42));
  Balanced('GetCapFileList', Frame, StackPointer);
  Expect('StartPlay', Velmora_StartPlay(S, 2, 3, 4, 5, 6), Answer(T, 26, S + 4 + 9 + 16 + 25 + 36));
  Balanced('StartPlay', Frame, StackPointer);
  Expect('StopPlay', Velmora_StopPlay(S, 9), Answer(T, 27, 9));
  Balanced('StopPlay', Frame, StackPointer);
  Expect('PlayCtrl', Velmora_PlayCtrl(S, 2, 3, 4, 5), Answer(T, 28, 2 + 6 + 12 + 20));
  Balanced('PlayCtrl', Frame, StackPointer);
  Expect('StartCapture', Velmora_StartCapture(S, 2, 3), Answer(T, 29, S + 4 + 9));
  Balanced('StartCapture', Frame, StackPointer);
  Expect('StopCapture', Velmora_StopCapture(S, 9), Answer(T, 30, 9));
  Balanced('StopCapture', Frame, StackPointer);
end;

procedure OnSampleMessage(Server, Message: TVelmoraInt; User: TVelmoraWord); stdcall;
var
  Messages: PMessages;
begin
  Messages := PMessages(User);
  Inc(Messages^.Count);
  Messages^.LastServer := Server;
  Messages^.LastMessage := Message;
end;

function TimeBlock(Year, Month, Day, Hour, Minute: TVelmoraInt): TVelmoraBlock24;
var
  Time: TSampleTime;
begin
  Time.Year := Year;
  Time.Month := Month;
  Time.Day := Day;
  Time.Hour := Hour;
  Time.Minute := Minute;
  Time.Second := 0;
  Move(Time, Result.Bytes, SizeOf(Result.Bytes));
end;

{ A session with the sample plug-in: log in, query, move the camera, list recordings. }
procedure RunSample(const Directory: string);
var
  Params: TVelmoraInitParams;
  Types: TTypeList;
  Messages: TMessages;
  Login: TSampleLoginRecord;
  Info: TSampleServerInfo;
  Channel: TSampleChannelInfo;
  Files: array[0..7] of TSampleRecordFile;
  From, Till: TVelmoraBlock24;
  Frame: PtrUInt;
begin
  Frame := StackPointer;
  Expect('SizeOf(TSampleLoginRecord)', SizeOf(TSampleLoginRecord), 140);
  Expect('SizeOf(TSampleRecordFile)', SizeOf(TSampleRecordFile), 88);
  FillChar(Params, SizeOf(Params), 0);
  Params.PluginPath := 'velmora-pascal-host';
  Params.PluginDirectory := Directory;
  Expect('sample: InitSvManage', Velmora_InitSvManage(@Params, 0), VELMORA_DONE);
  Balanced('InitSvManage', Frame, StackPointer);
  Types.Count := 0;
  Velmora_GetServerTypeInfo(ListType, TVelmoraWord(@Types));
  Balanced('GetServerTypeInfo', Frame, StackPointer);
  Expect('sample: types listed', Types.Count, 1);
  Expect('sample: its type ID', Types.TypeIds[0], 0);

  FillChar(Messages, SizeOf(Messages), 0);
  Expect('sample: SetSvMsgCallBack',
    Velmora_SetSvMsgCallBack(TVelmoraWord(@OnSampleMessage), TVelmoraWord(@Messages)),
    VELMORA_NO_ANSWER);
  Balanced('SetSvMsgCallBack', Frame, StackPointer);

  FillChar(Login, SizeOf(Login), 0);
  Login.ServerId := 21;
  Login.TypeId := 0;
  Login.Address := '192.0.2.1';
  Login.Port := 8000;
  Login.User := 'admin';
  Login.Password := 'secret';
  Expect('sample: LoginServer', Velmora_LoginServer(PVelmoraLoginRecord(@Login)), 1);
  Balanced('LoginServer', Frame, StackPointer);
  Expect('sample: logged-in message', Messages.LastMessage, SAMPLE_MSG_LOGGED_IN);
  Expect('sample: about server', Messages.LastServer, 21);

  Expect('sample: ChangeChannel', Velmora_ChangeChannel(21, 2), 1);
  Balanced('ChangeChannel', Frame, StackPointer);
  Expect('sample: GetServerInfo', Velmora_GetServerInfo(21, TVelmoraWord(@Info)), 1);
  Balanced('GetServerInfo', Frame, StackPointer);
  Expect('sample: logged in', Info.LoggedIn, 1);
  Expect('sample: channels', Info.ChannelCount, 4);
  Expect('sample: current channel', Info.CurrentChannel, 2);
  Expect('sample: port', Info.Port, 8000);
  Expect('sample: address', Ord(AnsiString(PAnsiChar(@Info.Address[0])) = '192.0.2.1'), 1);

  Expect('sample: PTZControl', Velmora_PTZControl(21, 1, SAMPLE_PTZ_LEFT, 5, 0), 1);
  Balanced('PTZControl', Frame, StackPointer);
  Expect('sample: GetChannelInfo', Velmora_GetChannelInfo(21, 1, TVelmoraWord(@Channel)), 1);
  Balanced('GetChannelInfo', Frame, StackPointer);
  Expect('sample: camera panned', Channel.Pan, -5);

  { 08:30 to 10:00 overlaps the files of 08:00 and 09:00. }
  From := TimeBlock(2024, 5, 1, 8, 30);
  Till := TimeBlock(2024, 5, 1, 10, 0);
  Expect('sample: GetCapFileList', Velmora_GetCapFileList(21, 1, 0, From, Till,
    TVelmoraWord(@Files[0]), Length(Files)), 2);
  Balanced('GetCapFileList', Frame, StackPointer);
  Expect('sample: first file',
    Ord(AnsiString(PAnsiChar(@Files[0].Name[0])) = 'ch1_20240501_0800.smp'), 1);
  Expect('sample: second file starts', Files[1].Start.Hour, 9);

  Expect('sample: DelServer', Velmora_DelServer(21), 1);
  Balanced('DelServer', Frame, StackPointer);
  Expect('sample: deleted message', Messages.LastMessage, SAMPLE_MSG_DELETED);
  Expect('sample: server gone', Velmora_ChangeServer(21), VELMORA_NOT_FOUND);
  Balanced('ChangeServer', Frame, StackPointer);
  Expect('sample: DeInitSvManage', Velmora_DeInitSvManage, VELMORA_DONE);
  Balanced('DeInitSvManage', Frame, StackPointer);
end;

var
  Params: TVelmoraInitParams;
  Types: TTypeList;
  Choice: TChoice;
  Login: TVelmoraLoginRecord;
  Index0, Index1, Index7, I: Integer;
  Frame: PtrUInt;
begin
  Frame := StackPointer;
  if ParamCount <> 2 then
  begin
    WriteLn('usage: PascalHost FIXTURE_DIRECTORY SAMPLE_DIRECTORY');
    Halt(2);
  end;
  Expect('SizeOf(TVelmoraInitParams)', SizeOf(TVelmoraInitParams), 512);
  Expect('SizeOf(TVelmoraLoginRecord)', SizeOf(TVelmoraLoginRecord), 8);
  Expect('SizeOf(TVelmoraBlock24)', SizeOf(TVelmoraBlock24), 24);
  Expect('SizeOf(TVelmoraWord)', SizeOf(TVelmoraWord), SizeOf(Pointer));

  FillChar(Params, SizeOf(Params), 0);
  Params.PluginPath := 'velmora-pascal-host';
  Params.PluginDirectory := ParamStr(1);
  Expect('InitSvManage', Velmora_InitSvManage(@Params, 42), VELMORA_DONE);
  Balanced('InitSvManage', Frame, StackPointer);

  Types.Count := 0;
  Types.User := 0;
  Expect('GetServerTypeInfo', Velmora_GetServerTypeInfo(ListType, TVelmoraWord(@Types)),
    VELMORA_NO_ANSWER);
  Balanced('GetServerTypeInfo', Frame, StackPointer);
  Expect('types listed', Types.Count, 3);
  Expect('callback user value', Types.User, TVelmoraWord(@Types));
  for I := 1 to Types.Count - 1 do
    Expect('stack pointer of a later callback call against the first (bytes)',
      Int64(Types.CallStack[I]) - Int64(Types.CallStack[0]), 0);
  Index0 := IndexOfType(Types, 0);
  Index1 := IndexOfType(Types, 1);
  Index7 := IndexOfType(Types, 7);
  if (Index0 < 0) or (Index1 < 0) or (Index7 < 0) then
  begin
    WriteLn('MISMATCH types 0, 1 and 7 expected in ', ParamStr(1));
    Halt(1);
  end;
  Expect('type 7 has no display name', Length(Types.Names[Index7]), 0);
  Expect('type ID of name 0', Velmora_GetServerTypeID(PAnsiChar(Types.Names[Index0])), 0);
  Balanced('GetServerTypeID', Frame, StackPointer);
  Expect('type ID of name 1', Velmora_GetServerTypeID(PAnsiChar(Types.Names[Index1])), 1);
  Balanced('GetServerTypeID', Frame, StackPointer);
  Expect('type ID of an unknown name', Velmora_GetServerTypeID('no such type'), VELMORA_NOT_FOUND);
  Balanced('GetServerTypeID', Frame, StackPointer);

  Choice.Wanted := Types.Names[Index1];
  Choice.Calls := 0;
  Choice.Count := 0;
  Expect('SetSelectServerCallBack', Velmora_SetSelectServerCallBack(Choose, TVelmoraWord(@Choice)),
    VELMORA_DONE);
  Balanced('SetSelectServerCallBack', Frame, StackPointer);
  Expect('AddServer 11 as type 1', Velmora_AddServer(11), Answer(1, 8, 11));
  Balanced('AddServer', Frame, StackPointer);
  Expect('selection callback called', Choice.Calls, 1);
  Expect('selection offered every type', Choice.Count, 3);
  Expect('AddServer 11 again', Velmora_AddServer(11), VELMORA_ALREADY_REGISTERED);
  Balanced('AddServer', Frame, StackPointer);

  Login.ServerId := 12;
  Login.TypeId := 0;
  Expect('LoginServer 12 as type 0', Velmora_LoginServer(@Login), Answer(0, 24, 12));
  Balanced('LoginServer', Frame, StackPointer);
  Expect('LoginServer without record', Velmora_LoginServer(nil), VELMORA_NOT_FOUND);
  Balanced('LoginServer', Frame, StackPointer);

  CheckForwarded(11, 1);
  CheckForwarded(12, 0);
  Expect('call for an unknown server', Velmora_GetHeader(99, 2, 3, 4), VELMORA_NOT_FOUND);
  Balanced('GetHeader', Frame, StackPointer);
  Expect('SetSvMsgCallBack', Velmora_SetSvMsgCallBack(1, 2), VELMORA_NO_ANSWER);
  Balanced('SetSvMsgCallBack', Frame, StackPointer);

  Expect('DelServer 11', Velmora_DelServer(11), Answer(1, 9, 11));
  Balanced('DelServer', Frame, StackPointer);
  Expect('server 11 gone', Velmora_ChangeServer(11), VELMORA_NOT_FOUND);
  Balanced('ChangeServer', Frame, StackPointer);
  Expect('DelServer 11 again', Velmora_DelServer(11), VELMORA_DONE);
  Balanced('DelServer', Frame, StackPointer);
  Expect('DelServer 12', Velmora_DelServer(12), Answer(0, 9, 12));
  Balanced('DelServer', Frame, StackPointer);
  Expect('DeInitSvManage', Velmora_DeInitSvManage, VELMORA_DONE);
  Balanced('DeInitSvManage', Frame, StackPointer);

  RunSample(ParamStr(2));

  WriteLn('velmora-pascal-host: ', Checks, ' checks, ', Failures, ' mismatches');
  if Failures > 0 then
    Halt(1);
end.
