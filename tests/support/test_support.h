// What every test needs: where the fixtures are, the library loaded as a host loads it,
// InitParams blocks, and the journal of the fixture plug-ins.
#pragma once

#include "core/server_types.h"
#include "platform/platform.h"

#include <velmora/velmora.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace velmora::test {

// The directory of the test executable, ending in a separator.
std::string ExecutableDirectory();
// A folder of fixture plug-ins, without a trailing separator.
std::string PluginDirectory(const std::string& name);
// The path of a fixture plug-in file in one of those folders.
std::string PluginFile(const std::string& directory, const std::string& file);
// A path as the library holds it (Windows: WTF-8), for std::filesystem, which would read
// the bytes of a narrow string one by one on Windows.
std::filesystem::path FsPath(const std::string& path);

// The fixture tags of a directory's plug-ins (their file names without "QXDVR" and the
// extension), in the order a scan appends them. Clears the journal.
std::vector<std::string> TagsInTableOrder(const std::string& directory);

// An InitParams block holding the two texts as length-prefixed fields.
VelmoraInitParams MakeParams(const std::string& pluginPath, const std::string& pluginDirectory);

// The lines the fixture plug-ins wrote since the journal was last cleared, optionally
// only those of one fixture (without its "tag:" prefix).
std::vector<std::string> Journal();
std::vector<std::string> Journal(const std::string& tag);

// Every export of the library, by name without its prefix.
#define VELMORA_TEST_EXPORTS(X)                                                              \
    X(InitSvManage) X(DeInitSvManage) X(AddServer) X(DelServer) X(LoginServer)               \
    X(SetSelectServerCallBack) X(GetServerTypeInfo) X(GetServerTypeID) X(SetSvMsgCallBack)    \
    X(GetHeader) X(ChangeServer) X(ChangeChannel) X(GetSvChInfo) X(GetChannelInfo)           \
    X(GetServerInfo) X(LoadPreInfo) X(GoToPreset) X(DelPreset) X(SetPreset) X(PTZControl)    \
    X(GetProtocolInfo) X(StartGetVideoData) X(StopGetVideoData) X(GetCapFileList)            \
    X(StartPlay) X(StopPlay) X(PlayCtrl) X(StartCapture) X(StopCapture)

// The product library, loaded for the object's lifetime as a host loads it, so that every
// test starts from a freshly loaded library and every test also unloads it.
class LoadedVelmora {
public:
    LoadedVelmora();
    ~LoadedVelmora();
    LoadedVelmora(const LoadedVelmora&) = delete;
    LoadedVelmora& operator=(const LoadedVelmora&) = delete;

#define VELMORA_TEST_EXPORT_MEMBER(name) decltype(&Velmora_##name) name = nullptr;
    VELMORA_TEST_EXPORTS(VELMORA_TEST_EXPORT_MEMBER)
#undef VELMORA_TEST_EXPORT_MEMBER

private:
    platform::ModuleHandle module_ = nullptr;
};

// Steers a recorder fixture plug-in (tests/fixtures/recorder.cpp): what its entry points
// answer and what its LoginServer writes into the login record. Resets it on creation.
class Recorder {
public:
    Recorder(const std::string& directory, const std::string& file);
    ~Recorder();
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    void SetResult(const char* entryPoint, VelmoraInt result) const { setResult_(entryPoint, result); }
    void RewriteLogin(VelmoraInt serverId, VelmoraInt typeId) const { rewriteLogin_(1, serverId, typeId); }

private:
    platform::ModuleHandle module_ = nullptr;
    void (*setResult_)(const char*, VelmoraInt) = nullptr;
    void (*rewriteLogin_)(int, VelmoraInt, VelmoraInt) = nullptr;
};

// A copy of a fixture plug-in placed in some directory for the object's lifetime. A file
// the system will not delete while it is loaded is renamed so no scan matches it again.
class PlacedPlugin {
public:
    PlacedPlugin(const std::string& source, const std::string& directory, const std::string& file);
    ~PlacedPlugin();
    PlacedPlugin(const PlacedPlugin&) = delete;
    PlacedPlugin& operator=(const PlacedPlugin&) = delete;

private:
    std::string path_;
};

// A program of the build (in the test executable's folder) run to its end: its exit
// status and its standard output.
struct ToolRun {
    int status = -1;
    std::string output;
};
ToolRun RunTool(const std::string& file, const std::vector<std::string>& arguments);

// Environment variables set (or, with nullopt, removed) for the object's lifetime, as the
// library and the programs it starts see them.
class ScopedEnvironment {
public:
    ScopedEnvironment() = default;
    ~ScopedEnvironment();
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

    void Set(const std::string& name, const std::optional<std::string>& value);

private:
    static std::optional<std::string> Get(const std::string& name);
    static void Put(const std::string& name, const std::optional<std::string>& value);
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

// A sealed environment for discovery through the helper: the helper on, a time limit, and a
// cache in a fresh folder of the test's own (root_), removed with everything in it afterwards.
class HelperScan : public testing::Test {
protected:
    explicit HelperScan(const char* timeLimitSeconds);
    ~HelperScan() override;

    // What a scan of directory, handing the plug-ins the text "text", made of each entry.
    std::map<std::string, CandidateReport> Scan(const std::string& directory);

    std::filesystem::path root_;
    ScopedEnvironment environment_;
};

#if !defined(_WIN32)
// A fresh folder holding, under plug-in names, a FIFO with a few unread bytes waiting in
// it (QXDVRFifo), a socket (QXDVRSocket), a link to the null device (QXDVRNull) and a copy
// of a good plug-in of type 3 (QXDVRType3); removed with everything in it on destruction.
// Opening the FIFO would block were nothing waiting in it, so a scan that opens it fails
// instead of hanging.
class SpecialFilesFolder {
public:
    SpecialFilesFolder();
    ~SpecialFilesFolder();
    SpecialFilesFolder(const SpecialFilesFolder&) = delete;
    SpecialFilesFolder& operator=(const SpecialFilesFolder&) = delete;

    const std::string& path() const { return path_; }
    // Whether the bytes put in the FIFO were all still there, nobody having read from it;
    // takes them out.
    bool FifoUnread() const;

private:
    std::string path_;
    int fifo_ = -1;
    int socket_ = -1;
};
#endif

}  // namespace velmora::test
