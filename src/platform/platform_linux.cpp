// Linux: dlopen for plug-ins, readdir with case-blind matching, signals for faults and abort().
// File names are the file system's bytes, taken and handed on as they are.
#include "platform/platform.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fnmatch.h>
#include <iconv.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <climits>
#include <cstdio>
#include <mutex>

namespace velmora::platform {

const char kPathSeparator = '/';
const char kDirectoryDelimiters[] = "/";
const char kPluginExtension[] = ".so";

namespace {

// A plain array, as a thread_local with a destructor would keep this library loaded.
thread_local char lastLoadError[512];

// Where a signal on this thread jumps to; null outside a guarded call. In the static TLS
// block: the handler reads it on any thread, and a first read of a dynamic one may allocate.
[[gnu::tls_model("initial-exec")]] thread_local sigjmp_buf* faultTarget = nullptr;

// Not even a guarded call contains what the library's constructors do: jumping out of
// dlopen would leave the loader's lock held, and the next dlopen or dlclose on any other
// thread would wait for ever. A signal takes its course as if no guard were running, and
// an exception ends in std::terminate here.
ModuleHandle LoadUnguarded(const char* path) noexcept {
    sigjmp_buf* const guard = faultTarget;
    faultTarget = nullptr;
    ModuleHandle module = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    faultTarget = guard;
    return module;
}

void RememberLoadError(const char* text) {
    std::snprintf(lastLoadError, sizeof lastLoadError, "%s", text);
}

}  // namespace

ModuleHandle OpenModule(const std::string& path) {
    if (path.empty()) {  // dlopen would hand back the main program
        RememberLoadError("empty file name");
        return nullptr;
    }
    ModuleHandle module = LoadUnguarded(path.c_str());
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

const char* SpecialFileKind(const std::string& path) {
    struct stat info {};
    if (path.empty() || stat(path.c_str(), &info) != 0) return nullptr;
    if (S_ISFIFO(info.st_mode)) return "FIFO";
    if (S_ISSOCK(info.st_mode)) return "socket";
    if (S_ISCHR(info.st_mode)) return "character device";
    if (S_ISBLK(info.st_mode)) return "block device";
    return nullptr;
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

std::string PathFromHostText(const std::string& text) { return text; }

std::string FirstCharacters(const std::string& path, std::size_t count) { return path.substr(0, count); }

std::string_view WholeCharactersWithin(std::string_view name, std::size_t size) { return name.substr(0, size); }

std::string Cp936ToUtf8(std::string_view bytes) {
    const iconv_t converter = iconv_open("UTF-8", "CP936");
    if (converter == reinterpret_cast<iconv_t>(-1)) return {};
    std::string in(bytes);
    // Every code-page-936 character is one or two bytes and at most three in UTF-8.
    std::string out(in.size() * 3, '\0');
    char* inNext = in.data();
    char* outNext = out.data();
    std::size_t inLeft = in.size(), outLeft = out.size();
    const bool converted = iconv(converter, &inNext, &inLeft, &outNext, &outLeft) != static_cast<std::size_t>(-1);
    iconv_close(converter);
    if (!converted || inLeft != 0) return {};
    out.resize(out.size() - outLeft);
    return out;
}

namespace {

// abort() is contained like a fault. glibc's abort() releases its own lock before it raises
// SIGABRT and unblocks the signal itself, so jumping out of the handler leaves it ready
// for the next caller on any thread; the jump restores the signal mask of the guarded call.
constexpr std::array<int, 5> kGuardedSignals = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};

// The handlers are process-wide, so they stay installed while any thread runs a guarded
// call; the ones they displaced are kept for the signals of the other threads.
std::mutex installLock;
unsigned guardsRunning = 0;
std::array<struct sigaction, kGuardedSignals.size()> displaced{};

const struct sigaction& DisplacedAction(int signal) {
    std::size_t i = 0;
    while (kGuardedSignals[i] != signal) ++i;
    return displaced[i];
}

void OnSignal(int signal, siginfo_t* info, void* context) {
    if (faultTarget) siglongjmp(*faultTarget, signal);
    // Not a guarded call's: act as the handler we displaced would.
    const struct sigaction& previous = DisplacedAction(signal);
    if (previous.sa_flags & SA_SIGINFO) return previous.sa_sigaction(signal, info, context);
    if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN) return previous.sa_handler(signal);
    // An ignored signal that another process or thread sent stays ignored (abort() then
    // ends the process by itself); a fault is fatal whatever the disposition.
    if (previous.sa_handler == SIG_IGN && info->si_code <= 0) return;
    ::signal(signal, SIG_DFL);
    raise(signal);
}

class SignalInterception {
public:
    SignalInterception() noexcept {
        const std::lock_guard<std::mutex> hold(installLock);
        if (guardsRunning++ != 0) return;
        struct sigaction ours {};
        ours.sa_sigaction = OnSignal;
        ours.sa_flags = SA_SIGINFO | SA_NODEFER;
        sigemptyset(&ours.sa_mask);
        for (std::size_t i = 0; i < kGuardedSignals.size(); ++i) sigaction(kGuardedSignals[i], &ours, &displaced[i]);
    }

    ~SignalInterception() {
        const std::lock_guard<std::mutex> hold(installLock);
        if (--guardsRunning != 0) return;
        for (std::size_t i = 0; i < kGuardedSignals.size(); ++i) sigaction(kGuardedSignals[i], &displaced[i], nullptr);
    }

    SignalInterception(const SignalInterception&) = delete;
    SignalInterception& operator=(const SignalInterception&) = delete;
};

}  // namespace

bool RunGuarded(void (*fn)(void*), void* context) noexcept {
    // Handlers live only while guarded calls run, so signals at other times stay the host's.
    const SignalInterception interception;
    sigjmp_buf target;
    sigjmp_buf* const outer = faultTarget;
    bool completed = false;
    if (sigsetjmp(target, 1) == 0) {
        faultTarget = &target;
        fn(context);
        completed = true;
    }
    faultTarget = outer;
    return completed;
}

}  // namespace velmora::platform
