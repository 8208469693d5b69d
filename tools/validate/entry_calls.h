// Calling a plug-in's entry points the way a host does, with harmless arguments: server IDs
// never added, and where the contract passes a value the plug-in may take for an address,
// the address of zeroed scratch memory of generous size. On the 32-bit build each call is
// made word by word as any compiler's host makes it, and the stack pointer is measured.
#pragma once

#include "check.h"
#include "plugin/server_type_dll.h"

#include <array>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace velmora::validate {

constexpr VelmoraInt kServerNeverAdded = 1999000111;
constexpr VelmoraInt kServerAdded = 1999000222;  // what AddServer and DelServer are given

// What every call gets; every pointer stays valid for the whole process, since a plug-in
// may keep one.
class Arguments {
public:
    Arguments();

    VelmoraInt server = kServerNeverAdded;
    const char* text = "";  // SetPath's
    char* typeName;         // GetServerTypeName's buffer, kTypeNameBytes long
    VelmoraInt typeNameCapacity = 51;
    VelmoraWord callback = 0, callbackUser = 0;  // SetSvMsgCallBack's

    static constexpr std::size_t kTypeNameBytes = 4096;
    // The scratch memory passed for the word at an argument position (and for InitDLL's
    // application object and LoginServer's record), zeroed before every call.
    VelmoraWord Scratch(std::size_t position) const;
    // Zeroes the scratch memory of the first positions (the entry point's parameters).
    void ClearScratch(std::size_t positions);

    static constexpr std::size_t kPositions = 17;

private:
    static constexpr std::size_t kScratchBytes = 16384;
    std::unique_ptr<std::array<char, kScratchBytes>[]> scratch_;
    std::unique_ptr<char[]> typeNameBuffer_;
};

struct CallResult {
    bool completed = false;  // false: the call faulted, and the guard contained it
    VelmoraInt result = 0;
    // 32-bit build: the bytes the callee took off the stack minus the contract's argument
    // bytes; 0 elsewhere.
    int stackBytesOff = 0;
    double seconds = 0;
};

// Calls the entry point with the arguments, its faults contained.
CallResult CallEntryPoint(platform::Symbol entry, EntryPoint which, Arguments& arguments);

// The bytes of arguments a 32-bit host pushes for the entry point, and its parameters.
int ContractArgumentBytes(EntryPoint which);
std::size_t ParameterCount(EntryPoint which);

// What an entry point is for: the calls a host makes of it differ accordingly.
enum class Role { Discovery, LifeCycle, Callback, Registry, PerServer, PerHandle };
Role RoleOf(EntryPoint which);
const char* NameOf(EntryPoint which);

// Every entry point in the order a host calls them: discovery, InitDLL and InitClient,
// SetSvMsgCallBack, AddServer, the per-server calls, LoginServer, DelServer, DeInitClient
// and DeInitDLL.
const std::vector<EntryPoint>& HostOrder();
// The twenty per-server calls, in the contract's order.
const std::vector<EntryPoint>& PerServerCalls();
// The life cycle: InitDLL, InitClient, DeInitClient, DeInitDLL.
const std::vector<EntryPoint>& LifeCycle();

// Calls each of the entry points the plug-in exports, in the order given, each announced
// as a step of the check, and leaves out those earlier checks found broken; told of each
// call. Stops after a call that faulted, which later checks then leave out, and answers false.
using CallObserver = std::function<void(EntryPoint, const CallResult&)>;
bool CallInTurn(const CheckContext& context, const TServerTypeDLL& plugin, CheckRun& run,
                const std::vector<EntryPoint>& order, Arguments& arguments, const CallObserver& observe,
                const std::string& circumstance);

// "1.2 s", "0.35 s"
std::string Seconds(double seconds);

}  // namespace velmora::validate
