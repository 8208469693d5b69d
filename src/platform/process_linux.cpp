// Linux: posix_spawn with a pipe on descriptor 3, poll for reading with a time limit,
// waitpid for the child's own status, and the files of the verdict cache.
#include "platform/process.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace velmora::platform {

namespace {

// The child's end of the report channel.
constexpr int kChannelDescriptor = 3;
// Our own descriptors are moved above the standard ones, so that setting up the child's
// standard streams cannot overwrite them, whatever the host has closed.
constexpr int kFirstPrivateDescriptor = 10;

int MovedAbove(int descriptor) {
    const int moved = fcntl(descriptor, F_DUPFD_CLOEXEC, kFirstPrivateDescriptor);
    close(descriptor);
    return moved;
}

bool WriteAll(int descriptor, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t written = write(descriptor, data, size);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

std::string SignalWords(int signal) {
    const char* description = strsignal(signal);
    return "killed by signal " + std::to_string(signal) + " (" + (description ? description : "unknown") + ")";
}

class LinuxChild final : public ChildProcess {
public:
    LinuxChild(pid_t pid, int channel) : pid_(pid), channel_(channel) {}
    ~LinuxChild() override {
        if (!reaped_) {
            Kill();
            Ending(false);
        }
        if (channel_ >= 0) close(channel_);
    }

    ReadResult Read(std::string& out, int timeoutMs) override {
        if (channel_ < 0) return ReadResult::Ended;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd entry{channel_, POLLIN, 0};
            const int ready = poll(&entry, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0);
            if (ready < 0 && errno == EINTR) continue;
            if (ready == 0) return ReadResult::TimedOut;
            char buffer[4096];
            const ssize_t got = read(channel_, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) {
                close(channel_);
                channel_ = -1;
                return ReadResult::Ended;
            }
            out.append(buffer, static_cast<std::size_t>(got));
            return ReadResult::Data;
        }
    }

    void Kill() override {
        if (!reaped_) kill(pid_, SIGKILL);
    }

    ProcessEnding Ending(bool inGuardedCall) override {
        if (reaped_) return ending_;
        int status = 0;
        pid_t got;
        do {
            got = waitpid(pid_, &status, 0);
        } while (got < 0 && errno == EINTR);
        reaped_ = true;
        using Kind = ProcessEnding::Kind;
        if (got != pid_) {
            // The host reaps children itself (or ignores SIGCHLD): the status is gone.
            ending_ = {Kind::Unknown, 0, "ended (its status was collected elsewhere)"};
        } else if (WIFEXITED(status)) {
            const int code = WEXITSTATUS(status);
            ending_ = {Kind::Exited, static_cast<unsigned long>(code), "exited with status " + std::to_string(code)};
        } else if (WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT) {
            ending_ = {Kind::Aborted, SIGABRT, "aborted"};
        } else if (WIFSIGNALED(status) && WTERMSIG(status) == SIGSEGV && inGuardedCall) {
            // The guard's handler runs on the faulting thread's stack; only an exhausted
            // stack keeps it from running.
            ending_ = {Kind::StackOverflow, SIGSEGV, "stack overflow"};
        } else if (WIFSIGNALED(status)) {
            ending_ = {Kind::Fault, static_cast<unsigned long>(WTERMSIG(status)), SignalWords(WTERMSIG(status))};
        }
        return ending_;
    }

private:
    pid_t pid_;
    int channel_;
    bool reaped_ = false;
    ProcessEnding ending_;
};

class Spawn {
public:
    Spawn() {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attributes);
    }
    ~Spawn() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
};

class LinuxChannel final : public ReportChannel {
public:
    bool Write(const std::string& text) override { return WriteAll(kChannelDescriptor, text.data(), text.size()); }
    void WriteLastWords(const char* line) noexcept override {
        WriteAll(kChannelDescriptor, line, std::strlen(line));
        WriteAll(kChannelDescriptor, "\n", 1);
    }
    void ReportOwnEnding() override {
        current = this;
        struct sigaction action {};
        action.sa_handler = [](int) {
            current->WriteLastWords("D aborted");
            signal(SIGABRT, SIG_DFL);
            raise(SIGABRT);
        };
        sigemptyset(&action.sa_mask);
        sigaction(SIGABRT, &action, nullptr);
        on_exit(
            [](int status, void*) {
                char line[64];
                std::snprintf(line, sizeof line, "D exited with status %d", status & 0xFF);
                current->WriteLastWords(line);
            },
            nullptr);
    }
    bool TakeStackOverflowSeen() override { return false; }
    [[noreturn]] void EndNow(int status) override { _exit(status); }

private:
    static LinuxChannel* current;
};

LinuxChannel* LinuxChannel::current = nullptr;

}  // namespace

std::string EnvironmentVariable(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

std::string OwnModulePath() {
    Dl_info info{};
    if (!dladdr(reinterpret_cast<void*>(&OwnModulePath), &info) || !info.dli_fname) return {};
    return info.dli_fname;
}

std::string UserCacheDirectory() {
    const std::string cache = EnvironmentVariable("XDG_CACHE_HOME");
    // Only an absolute path counts, as the base directory specification has it.
    if (!cache.empty() && cache[0] == '/') return cache;
    const std::string home = EnvironmentVariable("HOME");
    return home.empty() ? std::string{} : home + "/.cache";
}

bool StampOf(const std::string& path, FileStamp& stamp) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) return false;
    stamp.size = static_cast<std::uint64_t>(info.st_size);
    stamp.modified = static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
    return true;
}

bool ReadWholeFile(const std::string& path, std::string& content) {
    const int descriptor = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (descriptor < 0) return false;
    struct stat info {};
    bool ok = fstat(descriptor, &info) == 0 && S_ISREG(info.st_mode);
    content.clear();
    char buffer[65536];
    while (ok) {
        const ssize_t got = read(descriptor, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) ok = false;
        if (got <= 0) break;
        content.append(buffer, static_cast<std::size_t>(got));
    }
    close(descriptor);
    return ok;
}

namespace {

bool MakeFolders(const std::string& folder) {
    if (folder.empty()) return true;
    struct stat info {};
    if (stat(folder.c_str(), &info) == 0) return S_ISDIR(info.st_mode);
    const auto slash = folder.find_last_of('/');
    if (slash != std::string::npos && slash > 0 && !MakeFolders(folder.substr(0, slash))) return false;
    return mkdir(folder.c_str(), 0700) == 0 || errno == EEXIST;
}

}  // namespace

bool ReplaceFileAtomically(const std::string& path, const std::string& content) {
    const auto slash = path.find_last_of('/');
    if (slash != std::string::npos && !MakeFolders(path.substr(0, slash))) return false;
    std::string temporary = path + ".XXXXXX";
    const int descriptor = mkostemp(temporary.data(), O_CLOEXEC);
    if (descriptor < 0) return false;
    const bool written = WriteAll(descriptor, content.data(), content.size()) && fsync(descriptor) == 0;
    const bool closed = close(descriptor) == 0;
    if (written && closed && rename(temporary.c_str(), path.c_str()) == 0) return true;
    unlink(temporary.c_str());
    return false;
}

bool RemoveFile(const std::string& path) { return unlink(path.c_str()) == 0 || errno == ENOENT; }

std::unique_ptr<ChildProcess> ChildProcess::Start(const std::string& program,
                                                  const std::vector<std::string>& arguments) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) return nullptr;
    const int reading = MovedAbove(ends[0]);
    const int writing = MovedAbove(ends[1]);
    if (reading < 0 || writing < 0) {
        if (reading >= 0) close(reading);
        if (writing >= 0) close(writing);
        return nullptr;
    }

    Spawn spawn;
    posix_spawn_file_actions_addopen(&spawn.actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&spawn.actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&spawn.actions, 2, "/dev/null", O_WRONLY, 0);
    // dup2 clears close-on-exec on the copy: the child inherits this descriptor only (the
    // host's own descriptors without close-on-exec the child closes first thing).
    posix_spawn_file_actions_adddup2(&spawn.actions, writing, kChannelDescriptor);
    // The host may block or ignore signals; the child starts with the defaults.
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&spawn.attributes, &none);
    posix_spawnattr_setsigdefault(&spawn.attributes, &all);
    posix_spawnattr_setflags(&spawn.attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::vector<std::string> words{program, std::to_string(kChannelDescriptor)};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);

    pid_t pid = 0;
    const int failed = posix_spawn(&pid, program.c_str(), &spawn.actions, &spawn.attributes, argv.data(), environ);
    close(writing);
    if (failed != 0) {
        close(reading);
        return nullptr;
    }
    return std::make_unique<LinuxChild>(pid, reading);
}

std::unique_ptr<ReportChannel> ReportChannel::Open(const char* argument) {
    if (!argument || std::strcmp(argument, "3") != 0 || fcntl(kChannelDescriptor, F_GETFD) < 0) return nullptr;
    // Nothing but the channel and the standard streams stays open.
    closefrom(kChannelDescriptor + 1);
    return std::make_unique<LinuxChannel>();
}

}  // namespace velmora::platform
