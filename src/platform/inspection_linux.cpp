// Linux: /proc/self for descriptors, memory and threads, mmap and mprotect for the pages,
// and dlopen for the libraries no folder of the plug-in holds.
#include "platform/inspection.h"

#include <dirent.h>
#include <dlfcn.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace velmora::platform {

namespace {

struct DirectoryCloser {
    void operator()(DIR* directory) const { closedir(directory); }
};

// The numeric entries of a /proc folder.
std::vector<std::uint64_t> NumberedEntries(const char* folder) {
    std::vector<std::uint64_t> numbers;
    const std::unique_ptr<DIR, DirectoryCloser> directory(opendir(folder));
    if (!directory) return numbers;
    while (const dirent* entry = readdir(directory.get())) {
        char* end = nullptr;
        const unsigned long long number = std::strtoull(entry->d_name, &end, 10);
        if (end != entry->d_name && *end == '\0') numbers.push_back(number);
    }
    return numbers;
}

std::string FirstLine(const std::string& file) {
    std::string line;
    if (FILE* in = std::fopen(file.c_str(), "re")) {
        char buffer[256];
        if (std::fgets(buffer, sizeof buffer, in)) line = buffer;
        std::fclose(in);
    }
    while (!line.empty() && line.back() == '\n') line.pop_back();
    return line;
}

bool IsFile(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && !S_ISDIR(info.st_mode);
}

}  // namespace

ResourceCounts CountResources() {
    ResourceCounts counts;
    // The listing holds the descriptor of the folder being read.
    const auto descriptors = NumberedEntries("/proc/self/fd");
    if (!descriptors.empty()) counts.handles = static_cast<long long>(descriptors.size()) - 1;
    // Private writable memory, touched or not: a leak shows whether or not it was written.
    if (FILE* status = std::fopen("/proc/self/status", "re")) {
        char line[256];
        long long kilobytes = 0;
        while (std::fgets(line, sizeof line, status))
            if (std::sscanf(line, "VmData: %lld kB", &kilobytes) == 1) counts.memory = kilobytes * 1024;
        std::fclose(status);
    }
    return counts;
}

std::vector<ThreadInfo> ListThreads() {
    std::vector<ThreadInfo> threads;
    // A thread carries the program's name unless it was given one of its own.
    const std::string program = FirstLine("/proc/self/comm");
    for (const std::uint64_t id : NumberedEntries("/proc/self/task")) {
        const std::string name = FirstLine("/proc/self/task/" + std::to_string(id) + "/comm");
        threads.push_back({id, "thread " + std::to_string(id) + (name.empty() || name == program ? "" : " (" + name + ")")});
    }
    return threads;
}

std::uint64_t CurrentThreadId() { return static_cast<std::uint64_t>(syscall(SYS_gettid)); }

RevocablePages::RevocablePages(std::size_t bytes) {
    const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    size_ = (bytes + page - 1) / page * page;
    void* mapped = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    data_ = mapped == MAP_FAILED ? nullptr : static_cast<char*>(mapped);
}

RevocablePages::~RevocablePages() {
    if (data_ && !revoked_) munmap(data_, size_);
}

bool RevocablePages::Revoke() {
    revoked_ = data_ && mprotect(data_, size_, PROT_NONE) == 0;
    return revoked_;
}

bool LibraryCanBeFound(const std::string& name, const std::vector<std::string>& folders, std::string& problem) {
    if (name.find('/') != std::string::npos) {
        if (IsFile(name)) return true;
        problem = "no such file";
        return false;
    }
    for (const std::string& folder : folders)
        if (IsFile(folder + "/" + name)) return true;
    // The loader's own search: LD_LIBRARY_PATH, its cache, the default folders.
    if (dlopen(name.c_str(), RTLD_LAZY | RTLD_NOLOAD) || dlopen(name.c_str(), RTLD_LAZY | RTLD_LOCAL)) return true;
    const char* error = dlerror();
    problem = error ? error : "not found";
    return false;
}

}  // namespace velmora::platform
