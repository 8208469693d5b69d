// What velmora-validate needs from the operating system to watch a plug-in from inside the
// process that runs it: the process's own handles, memory and threads, pages that can be
// made unreadable for good, and whether a library a plug-in imports can be found. One
// source file per platform implements it (inspection_linux.cpp, inspection_windows.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace velmora::platform {

struct ResourceCounts {
    long long handles = -1;  // open descriptors (Linux) or handles (Windows); -1 when unknown
    long long memory = -1;   // private memory in bytes; -1 when unknown
};
ResourceCounts CountResources();

struct ThreadInfo {
    std::uint64_t id = 0;
    std::string description;  // "thread 1234 (worker)", "thread 1234, started in QXDVRx.dll"
};
// The process's threads, leaving out the system's own worker threads where they can be told
// apart (Windows: the loader's and the thread pool's, started in ntdll).
std::vector<ThreadInfo> ListThreads();
std::uint64_t CurrentThreadId();

// Pages that start readable and writable and can be made inaccessible. Revoked pages stay
// reserved for the life of the process, so an address plug-in code kept keeps faulting
// rather than reaching whatever would be allocated there next.
class RevocablePages {
public:
    explicit RevocablePages(std::size_t bytes);
    ~RevocablePages();
    RevocablePages(const RevocablePages&) = delete;
    RevocablePages& operator=(const RevocablePages&) = delete;

    char* data() const { return data_; }  // null when the pages could not be had
    std::size_t size() const { return size_; }
    bool Revoke();

private:
    char* data_ = nullptr;
    std::size_t size_ = 0;
    bool revoked_ = false;
};

// Whether the system's loader would find a library a plug-in imports, looking in folders
// first (the plug-in's own, its run paths), then where the loader looks for every program.
// False with the reason in problem. May load the library (without its code running on
// Windows), so it is meant for a process that runs plug-in code anyway.
bool LibraryCanBeFound(const std::string& name, const std::vector<std::string>& folders, std::string& problem);

}  // namespace velmora::platform
