// Which library this is: its version and its build, as the verdict cache keys them.
#pragma once

namespace velmora {

inline constexpr const char kLibraryVersion[] = VELMORA_VERSION_TEXT;

#if defined(_WIN64)
inline constexpr const char kBuildName[] = "win64";
#elif defined(_WIN32)
inline constexpr const char kBuildName[] = "win32";
#elif defined(__x86_64__)
inline constexpr const char kBuildName[] = "linux-x86_64";
#elif defined(__i386__)
inline constexpr const char kBuildName[] = "linux-i386";
#elif defined(__aarch64__)
inline constexpr const char kBuildName[] = "linux-aarch64";
#else
inline constexpr const char kBuildName[] = "linux";
#endif

}  // namespace velmora
