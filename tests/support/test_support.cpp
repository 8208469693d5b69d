#include "test_support.h"

#include "core/server_manager.h"
#include "journal.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <system_error>

#if defined(_WIN32)
#include "platform/wide_text_windows.h"

#include <windows.h>
#else
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#endif

namespace velmora::test {

namespace fs = std::filesystem;

std::string ExecutableDirectory() { return DirectoryPart(platform::ExecutablePath()); }

std::string PluginDirectory(const std::string& name) {
    return ExecutableDirectory() + "plugins" + platform::kPathSeparator + name;
}

std::string PluginFile(const std::string& directory, const std::string& file) {
    return PluginDirectory(directory) + platform::kPathSeparator + file;
}

fs::path FsPath(const std::string& path) {
#if defined(_WIN32)
    return fs::path(platform::Widen(path));
#else
    return fs::path(path);
#endif
}

std::vector<std::string> TagsInTableOrder(const std::string& directory) {
    std::vector<std::string> tags;
    const std::size_t extension = std::strlen(platform::kPluginExtension);
    for (const auto& record : ScanPluginDirectory(PluginDirectory(directory), "")) {
        const std::string name(record->fileName.View());
        tags.push_back(name.substr(5, name.size() - 5 - extension));
    }
    JournalClear();
    return tags;
}

VelmoraInitParams MakeParams(const std::string& pluginPath, const std::string& pluginDirectory) {
    VelmoraInitParams params{};
    const auto fill = [](unsigned char (&field)[256], const std::string& text) {
        if (text.size() > 255) throw std::length_error("a field holds 255 bytes");
        field[0] = static_cast<unsigned char>(text.size());
        std::memcpy(field + 1, text.data(), text.size());
    };
    fill(params.pluginPath, pluginPath);
    fill(params.pluginDirectory, pluginDirectory);
    return params;
}

std::vector<std::string> Journal() {
    std::vector<std::string> lines;
    std::istringstream text(JournalText());
    for (std::string line; std::getline(text, line);) lines.push_back(line);
    return lines;
}

std::vector<std::string> Journal(const std::string& tag) {
    std::vector<std::string> lines;
    const std::string prefix = tag + ":";
    for (const std::string& line : Journal())
        if (line.compare(0, prefix.size(), prefix) == 0) lines.push_back(line.substr(prefix.size()));
    return lines;
}

namespace {

template <typename Function>
void Resolve(platform::ModuleHandle module, Function& function, const std::string& name) {
    function = reinterpret_cast<Function>(platform::FindSymbol(module, name.c_str()));
    if (!function) throw std::runtime_error("missing symbol " + name);
}

}  // namespace

LoadedVelmora::LoadedVelmora() {
    module_ = platform::OpenModule(ExecutableDirectory() + VELMORA_LIBRARY_FILE);
    if (!module_) throw std::runtime_error("cannot load " VELMORA_LIBRARY_FILE);
#define VELMORA_TEST_RESOLVE(name) Resolve(module_, name, "Velmora_" #name);
    VELMORA_TEST_EXPORTS(VELMORA_TEST_RESOLVE)
#undef VELMORA_TEST_RESOLVE
}

LoadedVelmora::~LoadedVelmora() { platform::CloseModule(module_); }

Recorder::Recorder(const std::string& directory, const std::string& file) {
    module_ = platform::OpenModule(PluginFile(directory, file + platform::kPluginExtension));
    if (!module_) throw std::runtime_error("cannot load fixture " + file);
    Resolve(module_, setResult_, "RecorderSetResult");
    Resolve(module_, rewriteLogin_, "RecorderRewriteLogin");
    void (*reset)() = nullptr;
    Resolve(module_, reset, "RecorderReset");
    reset();
}

Recorder::~Recorder() { platform::CloseModule(module_); }

PlacedPlugin::PlacedPlugin(const std::string& source, const std::string& directory,
                           const std::string& file)
    : path_(directory + platform::kPathSeparator + file) {
    fs::copy_file(FsPath(source), FsPath(path_), fs::copy_options::overwrite_existing);
}

PlacedPlugin::~PlacedPlugin() {
    std::error_code error;
    if (fs::remove(FsPath(path_), error)) return;
    for (int n = 0;; ++n) {
        const fs::path parked = FsPath(path_ + ".parked" + std::to_string(n));
        if (!fs::exists(parked, error) && (fs::rename(FsPath(path_), parked, error), !error)) return;
        if (n == 100) {
            ADD_FAILURE() << "cannot take " << path_ << " out of the way";
            return;
        }
    }
}

ToolRun RunTool(const std::string& file, const std::vector<std::string>& arguments) {
    const std::string program = ExecutableDirectory() + file;
    ToolRun run;
#if defined(_WIN32)
    // Wide, so that names the ANSI code page cannot hold reach the program intact.
    std::wstring command = L"\"" + platform::Widen(program) + L"\"";
    for (const std::string& argument : arguments) command += L" \"" + platform::Widen(argument) + L"\"";
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) throw std::runtime_error("CreatePipe failed");
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writeEnd;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    PROCESS_INFORMATION process = {};
    const BOOL started = CreateProcessW(platform::Widen(program).c_str(), command.data(), nullptr, nullptr, TRUE, 0,
                                        nullptr, nullptr, &startup, &process);
    CloseHandle(writeEnd);
    if (started) {
        char buffer[4096];
        DWORD got = 0;
        while (ReadFile(readEnd, buffer, sizeof buffer, &got, nullptr) && got > 0) run.output.append(buffer, got);
        WaitForSingleObject(process.hProcess, INFINITE);
        DWORD code = 0;
        GetExitCodeProcess(process.hProcess, &code);
        run.status = static_cast<int>(code);
        CloseHandle(process.hProcess);
        CloseHandle(process.hThread);
    }
    CloseHandle(readEnd);
    if (!started) throw std::runtime_error("cannot start " + program);
#else
    const auto quoted = [](const std::string& text) {
        std::string out = "'";
        for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
        return out + "'";
    };
    std::string command = quoted(program);
    for (const std::string& argument : arguments) command += " " + quoted(argument);
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) throw std::runtime_error("cannot start " + program);
    char buffer[4096];
    for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) run.output.append(buffer, got);
    const int status = pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
    return run;
}

ScopedEnvironment::~ScopedEnvironment() {
    for (auto entry = saved_.rbegin(); entry != saved_.rend(); ++entry) Put(entry->first, entry->second);
}

void ScopedEnvironment::Set(const std::string& name, const std::optional<std::string>& value) {
    saved_.emplace_back(name, Get(name));
    Put(name, value);
}

std::optional<std::string> ScopedEnvironment::Get(const std::string& name) {
#if defined(_WIN32)
    const std::wstring wideName = platform::Widen(name);
    const DWORD size = GetEnvironmentVariableW(wideName.c_str(), nullptr, 0);
    if (size == 0) return std::nullopt;
    std::wstring value(size, L'\0');
    value.resize(GetEnvironmentVariableW(wideName.c_str(), value.data(), size));
    return platform::Narrow(value);
#else
    const char* value = std::getenv(name.c_str());
    return value ? std::optional<std::string>(value) : std::nullopt;
#endif
}

void ScopedEnvironment::Put(const std::string& name, const std::optional<std::string>& value) {
#if defined(_WIN32)
    SetEnvironmentVariableW(platform::Widen(name).c_str(), value ? platform::Widen(*value).c_str() : nullptr);
    // Programs the test starts read the C runtime's copy too.
    _wputenv(platform::Widen(name + "=" + value.value_or("")).c_str());
#else
    if (value) setenv(name.c_str(), value->c_str(), 1);
    else unsetenv(name.c_str());
#endif
}

#if !defined(_WIN32)
namespace {

// More than an ELF header: the loader reads until it has a header's worth or the end, and
// while the FIFO has a writer, the end never comes.
const std::string kFifoContent(256, 'x');

}  // namespace

SpecialFilesFolder::SpecialFilesFolder() {
    std::string pattern = (fs::temp_directory_path() / "velmora-special-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
    const std::string extension = platform::kPluginExtension;
    const std::string fifo = path_ + "/QXDVRFifo" + extension;
    // Held open for reading and writing, the FIFO has a writer, so opening it does not
    // block, and what was written stays in it until somebody reads.
    if (mkfifo(fifo.c_str(), 0600) != 0 || (fifo_ = open(fifo.c_str(), O_RDWR | O_NONBLOCK)) < 0 ||
        write(fifo_, kFifoContent.data(), kFifoContent.size()) != static_cast<ssize_t>(kFifoContent.size()))
        throw std::runtime_error("cannot make the FIFO");
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string socketPath = path_ + "/QXDVRSocket" + extension;
    if (socketPath.size() >= sizeof address.sun_path) throw std::runtime_error("socket path too long");
    socketPath.copy(address.sun_path, socketPath.size());
    if ((socket_ = socket(AF_UNIX, SOCK_STREAM, 0)) < 0 ||
        bind(socket_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        throw std::runtime_error("cannot make the socket");
    fs::create_symlink("/dev/null", path_ + "/QXDVRNull" + extension);
    fs::copy_file(PluginFile("types", "QXDVRType3" + extension), path_ + "/QXDVRType3" + extension);
}

SpecialFilesFolder::~SpecialFilesFolder() {
    if (fifo_ >= 0) close(fifo_);
    if (socket_ >= 0) close(socket_);
    std::error_code error;
    fs::remove_all(path_, error);
}

bool SpecialFilesFolder::FifoUnread() const {
    std::string content(kFifoContent.size() + 1, '\0');
    const ssize_t length = read(fifo_, content.data(), content.size());
    return length >= 0 && content.substr(0, static_cast<std::size_t>(length)) == kFifoContent;
}
#endif

HelperScan::HelperScan(const char* timeLimitSeconds)
    : root_(fs::temp_directory_path() /
            ("velmora-scan-" + std::to_string(std::chrono::system_clock::now().time_since_epoch().count()))) {
    fs::create_directories(root_);
    environment_.Set("VELMORA_SCAN", std::nullopt);
    environment_.Set("VELMORA_SCAN_HELPER", std::nullopt);
    environment_.Set("VELMORA_SCAN_CACHE", std::nullopt);
    environment_.Set("VELMORA_SCAN_TIMEOUT", timeLimitSeconds);
    environment_.Set("XDG_CACHE_HOME", root_.string());
    environment_.Set("LOCALAPPDATA", root_.string());
}

HelperScan::~HelperScan() {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
}

std::map<std::string, CandidateReport> HelperScan::Scan(const std::string& directory) {
    std::map<std::string, CandidateReport> reports;
    ScanPluginDirectory(directory, "text",
                        [&](const std::string& name, const CandidateReport& report) { reports[name] = report; });
    return reports;
}

}  // namespace velmora::test
