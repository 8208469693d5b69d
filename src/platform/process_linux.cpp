// Linux: posix_spawn with a socket pair as the private channel (its child end at a high
// descriptor), poll with time limits, a process file descriptor to wait for and end the
// child by (so a reused process ID is never hit), and the files of the verdict cache.
#include "platform/process.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

extern char** environ;

#ifndef P_PIDFD
#define P_PIDFD 3
#endif

namespace velmora::platform {

namespace {

using Clock = std::chrono::steady_clock;

// Our own descriptors are moved above the standard ones, so that setting up the child's
// standard streams cannot overwrite them, whatever the host has closed.
constexpr int kFirstPrivateDescriptor = 10;
// After a kill, a process ends at once unless the system itself holds it (a device that
// does not answer); the wait for it is bounded all the same.
constexpr int kKillWaitMs = 5000;

// The child's end of the channel sits at the highest descriptor it may have (at most
// 1023): code that walks the low descriptors, or opens files, meets it last.
int ChannelDescriptorOfChild() {
    rlimit limit{};
    rlim_t highest = 1023;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur <= 1024)
        highest = limit.rlim_cur - 1;
    return static_cast<int>(std::max<rlim_t>(highest, kFirstPrivateDescriptor + 2));
}

int MovedAbove(int descriptor) {
    const int moved = fcntl(descriptor, F_DUPFD_CLOEXEC, kFirstPrivateDescriptor);
    close(descriptor);
    return moved;
}

int MillisecondsLeft(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, 1 << 30));
}

// Waits for events on descriptor until the deadline; false when none came in time.
bool PollUntil(int descriptor, short events, Clock::time_point deadline) {
    for (;;) {
        pollfd entry{descriptor, events, 0};
        const int ready = poll(&entry, 1, MillisecondsLeft(deadline));
        if (ready < 0 && errno == EINTR) continue;
        return ready > 0;
    }
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

// Appends at most maxBytes of what came in on a socket, waiting until the deadline for
// something: the bytes taken, 0 once the other end is closed, -1 when nothing came in time.
ssize_t ReceiveSome(int descriptor, std::string& out, std::size_t maxBytes, Clock::time_point deadline) {
    for (;;) {
        if (!PollUntil(descriptor, POLLIN, deadline)) return -1;
        char buffer[4096];
        const ssize_t got = recv(descriptor, buffer, std::min(sizeof buffer, maxBytes), MSG_DONTWAIT);
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (got <= 0) return 0;
        out.append(buffer, static_cast<std::size_t>(got));
        return got;
    }
}

bool SendAll(int descriptor, const char* data, std::size_t size) noexcept {
    while (size > 0) {
        const ssize_t sent = send(descriptor, data, size, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) return false;
        data += sent;
        size -= static_cast<std::size_t>(sent);
    }
    return true;
}

std::string SignalWords(int signal) {
    const char* description = strsignal(signal);
    return "killed by signal " + std::to_string(signal) + " (" + (description ? description : "unknown") + ")";
}

bool IsFaultSignal(int signal) {
    return signal == SIGSEGV || signal == SIGBUS || signal == SIGILL || signal == SIGFPE || signal == SIGTRAP ||
           signal == SIGSYS;
}

class LinuxChild final : public ChildProcess {
public:
    LinuxChild(pid_t pid, int channel)
        : pid_(pid), channel_(channel), pidfd_(static_cast<int>(syscall(SYS_pidfd_open, pid, 0))) {}
    ~LinuxChild() override {
        if (!reaped_) {
            Kill();
            WaitForEnding(kKillWaitMs, false);
        }
        if (pidfd_ >= 0) close(pidfd_);
        if (channel_ >= 0) close(channel_);
    }

    bool Send(const std::string& text, int timeoutMs) override {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        for (std::size_t done = 0; done < text.size();) {
            if (channel_ < 0 || !PollUntil(channel_, POLLOUT, deadline)) return false;
            const ssize_t sent = send(channel_, text.data() + done, text.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (sent < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (sent <= 0) return false;
            done += static_cast<std::size_t>(sent);
        }
        return true;
    }

    ReadResult Read(std::string& out, std::size_t maxBytes, int timeoutMs) override {
        if (channel_ < 0) return ReadResult::Ended;
        const ssize_t got = ReceiveSome(channel_, out, maxBytes, Clock::now() + std::chrono::milliseconds(timeoutMs));
        if (got < 0) return ReadResult::TimedOut;
        if (got > 0) return ReadResult::Data;
        close(channel_);
        channel_ = -1;
        return ReadResult::Ended;
    }

    void Kill() override {
        if (reaped_) return;
        // Through the process's own descriptor: a host that reaps every child may have let
        // the ID go to another process by now. Only without one (kernels before 5.3) the ID.
        if (pidfd_ >= 0) syscall(SYS_pidfd_send_signal, pidfd_, SIGKILL, nullptr, 0);
        else kill(pid_, SIGKILL);
    }

    std::unique_ptr<ProcessEnding> WaitForEnding(int timeoutMs, bool inGuardedCall) override {
        if (!reaped_ && !Reap(timeoutMs, inGuardedCall)) return nullptr;
        return std::make_unique<ProcessEnding>(ending_);
    }

private:
    bool Reap(int timeoutMs, bool inGuardedCall) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        siginfo_t info{};
        int result = 0;
        if (pidfd_ >= 0) {
            // Readable once the process has ended, whoever collects its status.
            if (!PollUntil(pidfd_, POLLIN, deadline)) return false;
            do {
                result = waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(pidfd_), &info, WEXITED);
            } while (result < 0 && errno == EINTR);
        } else {
            for (;;) {
                info = {};
                result = waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG);
                if (result < 0 && errno == EINTR) continue;
                if (result < 0 || info.si_pid == pid_) break;
                if (Clock::now() >= deadline) return false;
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        }
        reaped_ = true;
        using Kind = ProcessEnding::Kind;
        const int status = info.si_status;
        if (result < 0) {
            // The host reaps children itself (or ignores SIGCHLD): the status is gone.
            ending_ = {Kind::Unknown, 0, "ended (its status was collected elsewhere)"};
        } else if (info.si_code == CLD_EXITED) {
            ending_ = {Kind::Exited, static_cast<unsigned long>(status), "exited with status " + std::to_string(status)};
        } else if (status == SIGABRT) {
            ending_ = {Kind::Aborted, SIGABRT, "aborted"};
        } else if (status == SIGSEGV && inGuardedCall) {
            // The guard's handler runs on the faulting thread's stack; only an exhausted
            // stack keeps it from running.
            ending_ = {Kind::StackOverflow, SIGSEGV, "stack overflow"};
        } else {
            ending_ = {IsFaultSignal(status) ? Kind::Fault : Kind::Signal, static_cast<unsigned long>(status),
                       SignalWords(status)};
        }
        return true;
    }

    pid_t pid_;
    int channel_;
    int pidfd_;
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

// The signals whose default action ends a process and that another process may send:
// last words say whether it came from outside.
constexpr int kEndingSignals[] = {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM,
                                  SIGVTALRM, SIGPROF, SIGXCPU, SIGXFSZ, SIGPIPE, SIGPOLL};

class LinuxChannel final : public ReportChannel {
public:
    explicit LinuxChannel(int descriptor) : descriptor_(descriptor) {}

    bool Receive(std::string& out, std::size_t maxBytes, int timeoutMs) override {
        return ReceiveSome(descriptor_, out, maxBytes, Clock::now() + std::chrono::milliseconds(timeoutMs)) > 0;
    }
    bool Write(const char* data, std::size_t size) noexcept override { return SendAll(descriptor_, data, size); }

    void ReportOwnEnding(LastWords lastWords) override {
        words = lastWords;
        struct sigaction action {};
        sigemptyset(&action.sa_mask);
        action.sa_handler = [](int) {
            words(OwnEnding::Aborted, 0);
            signal(SIGABRT, SIG_DFL);
            raise(SIGABRT);
        };
        sigaction(SIGABRT, &action, nullptr);
        action.sa_flags = SA_SIGINFO;
        action.sa_sigaction = [](int number, siginfo_t* info, void*) {
            const bool sent = info->si_code == SI_USER || info->si_code == SI_QUEUE || info->si_code == SI_TKILL;
            words(sent && info->si_pid != getpid() ? OwnEnding::OutsideSignal : OwnEnding::OwnSignal, number);
            signal(number, SIG_DFL);
            raise(number);
        };
        for (const int number : kEndingSignals) sigaction(number, &action, nullptr);
        on_exit([](int status, void*) { words(OwnEnding::Exited, status & 0xFF); }, nullptr);
    }
    Contained TakeContained() override { return Contained::Nothing; }
    [[noreturn]] void EndNow(int status) override { _exit(status); }

private:
    static LastWords words;
    int descriptor_;
};

ReportChannel::LastWords LinuxChannel::words = nullptr;

}  // namespace

void RandomBytes(unsigned char* buffer, std::size_t size) {
    while (size > 0) {
        const ssize_t got = getrandom(buffer, size, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            // No entropy source at all: the clock and the process ID are the best left.
            const auto seed = static_cast<std::uint64_t>(Clock::now().time_since_epoch().count()) ^
                              (static_cast<std::uint64_t>(getpid()) << 32);
            for (std::size_t i = 0; i < size; ++i) buffer[i] = static_cast<unsigned char>(seed >> (8 * (i % 8)) ^ i);
            return;
        }
        buffer += got;
        size -= static_cast<std::size_t>(got);
    }
}

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

// The folders above a file, made where missing.
bool MakeParentFolders(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos || MakeFolders(path.substr(0, slash));
}

}  // namespace

bool ReplaceFileAtomically(const std::string& path, const std::string& content) {
    if (!MakeParentFolders(path)) return false;
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

namespace {

class LinuxFileLock final : public FileLock {
public:
    explicit LinuxFileLock(int descriptor) : descriptor_(descriptor) {}
    ~LinuxFileLock() override { close(descriptor_); }  // closing releases the lock

private:
    int descriptor_;
};

}  // namespace

std::unique_ptr<FileLock> FileLock::Acquire(const std::string& path, int timeoutMs) {
    if (!MakeParentFolders(path)) return nullptr;
    const int descriptor = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (descriptor < 0) return nullptr;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (flock(descriptor, LOCK_EX | LOCK_NB) != 0) {
        if ((errno != EWOULDBLOCK && errno != EINTR) || Clock::now() >= deadline) {
            close(descriptor);
            return nullptr;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return std::make_unique<LinuxFileLock>(descriptor);
}

std::unique_ptr<ChildProcess> ChildProcess::Start(const std::string& program, int,
                                                  const std::vector<std::string>& arguments) {
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return nullptr;
    const int ours = MovedAbove(ends[0]);
    int theirs = MovedAbove(ends[1]);
    const int target = ChannelDescriptorOfChild();
    if (theirs == target) theirs = MovedAbove(theirs);  // dup2 onto itself would keep close-on-exec
    if (ours < 0 || theirs < 0) {
        if (ours >= 0) close(ours);
        if (theirs >= 0) close(theirs);
        return nullptr;
    }

    Spawn spawn;
    posix_spawn_file_actions_addopen(&spawn.actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&spawn.actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&spawn.actions, 2, "/dev/null", O_WRONLY, 0);
    // dup2 clears close-on-exec on the copy: the child inherits this descriptor only (the
    // host's own descriptors without close-on-exec the child closes first thing).
    posix_spawn_file_actions_adddup2(&spawn.actions, theirs, target);
    // The host may block or ignore signals; the child starts with the defaults.
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&spawn.attributes, &none);
    posix_spawnattr_setsigdefault(&spawn.attributes, &all);
    posix_spawnattr_setflags(&spawn.attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::vector<std::string> words{program, std::to_string(target)};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int failed = posix_spawn(&pid, program.c_str(), &spawn.actions, &spawn.attributes, argv.data(), environ);
    close(theirs);
    if (failed != 0) {
        close(ours);
        return nullptr;
    }
    return std::make_unique<LinuxChild>(pid, ours);
}

std::unique_ptr<ReportChannel> ReportChannel::Open(const char* argument) {
    if (!argument || *argument < '1' || *argument > '9') return nullptr;
    char* end = nullptr;
    const long descriptor = std::strtol(argument, &end, 10);
    struct stat info {};
    if (*end != '\0' || descriptor < 3 || descriptor > 1 << 20 || fstat(static_cast<int>(descriptor), &info) != 0 ||
        !S_ISSOCK(info.st_mode))
        return nullptr;
    // Nothing but the channel and the standard streams stays open.
    const int channel = static_cast<int>(descriptor);
    if (channel > 3 && close_range(3, static_cast<unsigned>(channel - 1), 0) != 0)
        for (int other = 3; other < channel; ++other) close(other);
    closefrom(channel + 1);
    return std::make_unique<LinuxChannel>(channel);
}

}  // namespace velmora::platform
