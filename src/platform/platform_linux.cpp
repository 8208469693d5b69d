// Linux: dlopen for plug-ins, readdir with case-blind matching, signals for faults.
#include "platform/platform.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fnmatch.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <climits>
#include <cstdio>

namespace velmora::platform {

const char kPathSeparator = '/';
const char kDirectoryDelimiters[] = "/";
const char kPluginExtension[] = ".so";

namespace {

// A plain array, as a thread_local with a destructor would keep this library loaded.
thread_local char lastLoadError[512];

void RememberLoadError(const char* text) {
    std::snprintf(lastLoadError, sizeof lastLoadError, "%s", text);
}

}  // namespace

ModuleHandle OpenModule(const std::string& path) {
    if (path.empty()) {  // dlopen would hand back the main program
        RememberLoadError("empty file name");
        return nullptr;
    }
    ModuleHandle module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    const char* error = module ? "" : dlerror();
    RememberLoadError(error ? error : "dlopen failed");
    return module;
}

std::string LastLoadError() { return lastLoadError; }

Symbol FindSymbol(ModuleHandle module, const char* name) {
    if (!module) return nullptr;
    return reinterpret_cast<Symbol>(dlsym(module, name));
}

void CloseModule(ModuleHandle module) {
    if (module) dlclose(module);
}

bool IsDirectory(const std::string& path) {
    struct stat info {};
    return !path.empty() && stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::vector<std::string> FindMatchingEntries(const std::string& pattern) {
    std::vector<std::string> names;
    const auto slash = pattern.rfind('/');
    if (slash == std::string::npos) return names;
    const std::string directory = pattern.substr(0, slash + 1);
    const std::string namePattern = pattern.substr(slash + 1);
    DIR* dir = opendir(directory.c_str());
    if (!dir) return names;
    while (const dirent* entry = readdir(dir))
        if (fnmatch(namePattern.c_str(), entry->d_name, FNM_CASEFOLD) == 0)
            names.emplace_back(entry->d_name);
    closedir(dir);
    return names;
}

std::string ExecutablePath() {
    std::array<char, PATH_MAX> buffer{};
    const ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size());
    return length > 0 ? std::string(buffer.data(), static_cast<std::size_t>(length)) : std::string{};
}

std::string SystemDirectory() { return VELMORA_SYSTEM_PLUGIN_DIR; }
std::string WindowsDirectory() { return VELMORA_WINDOWS_PLUGIN_DIR; }

namespace {

constexpr std::array<int, 4> kFaultSignals = {SIGSEGV, SIGBUS, SIGILL, SIGFPE};

// Where a fault on this thread jumps to; null outside a guarded call.
thread_local sigjmp_buf* faultTarget = nullptr;

void OnFault(int signal) {
    if (faultTarget) siglongjmp(*faultTarget, signal);
    // A fault on a thread that runs no guarded call is not ours: let it be fatal as it
    // would be without us.
    ::signal(signal, SIG_DFL);
}

}  // namespace

bool RunGuarded(void (*fn)(void*), void* context) noexcept {
    // Handlers live only around the call, so faults elsewhere stay the host's.
    struct sigaction ours {};
    ours.sa_handler = OnFault;
    ours.sa_flags = SA_NODEFER;
    sigemptyset(&ours.sa_mask);
    std::array<struct sigaction, kFaultSignals.size()> previous{};
    for (std::size_t i = 0; i < kFaultSignals.size(); ++i)
        sigaction(kFaultSignals[i], &ours, &previous[i]);

    sigjmp_buf target;
    sigjmp_buf* const outer = faultTarget;
    bool completed = false;
    if (sigsetjmp(target, 1) == 0) {
        faultTarget = &target;
        fn(context);
        completed = true;
    }
    faultTarget = outer;
    for (std::size_t i = 0; i < kFaultSignals.size(); ++i)
        sigaction(kFaultSignals[i], &previous[i], nullptr);
    return completed;
}

}  // namespace velmora::platform
