#include "core/verdict_cache.h"

#include "core/build_info.h"
#include "platform/platform.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <type_traits>
#include <vector>

namespace velmora {

namespace {

// Past these sizes a cache is not read, and the oldest verdicts are not written again.
constexpr std::size_t kLargestFile = 8 * 1024 * 1024;
constexpr std::size_t kMostVerdicts = 20000;
// Another process saving holds the lock for a moment only; past this, ours is not saved.
constexpr int kLockWaitMs = 2000;
constexpr std::int64_t kMinuteMs = 60 * 1000;

std::string HeaderStart(std::string_view version = kLibraryVersion) {
    return "velmora-verdicts 2 " + std::string(version) + " " + kBuildName + " ";
}

// FNV-1a, 64 bits: enough to tell a torn or edited file from the one we wrote.
std::uint64_t Checksum(const std::string& text) {
    std::uint64_t hash = 0xcbf29ce484222325ull;
    for (unsigned char c : text) hash = (hash ^ c) * 0x100000001b3ull;
    return hash;
}

// The fields of a line, each separated from the next by one space.
std::vector<std::string> SplitAtSpaces(const std::string& line) {
    std::vector<std::string> fields;
    for (std::size_t start = 0;;) {
        const std::size_t space = line.find(' ', start);
        fields.push_back(line.substr(start, space - start));
        if (space == std::string::npos) return fields;
        start = space + 1;
    }
}

// A whole decimal number and nothing else; iostreams would weigh the DLL down.
template <typename Number>
bool ParseNumber(const std::string& text, Number& number) {
    char* end = nullptr;
    errno = 0;
    number = static_cast<Number>(std::is_signed_v<Number> ? std::strtoll(text.c_str(), &end, 10)
                                                          : std::strtoull(text.c_str(), &end, 10));
    return !text.empty() && *end == '\0' && errno == 0 && (std::is_signed_v<Number> || text[0] != '-');
}

std::string Trailer(std::size_t count, const std::string& checked) {
    char line[80];
    std::snprintf(line, sizeof line, "end %zu %016" PRIx64 "\n", count, Checksum(checked));
    return line;
}

const char* KindWord(const ScreeningVerdict& verdict) {
    return !verdict.condemned ? "examined" : verdict.provisional ? "provisional" : "condemned";
}

bool ReadContents(const std::string& file, VerdictCache::Contents& contents) {
    std::string text;
    return platform::ReadWholeFile(file, text) && text.size() <= kLargestFile && VerdictCache::Parse(text, contents);
}

}  // namespace

VerdictCache::VerdictCache(std::string file) : file_(std::move(file)) {
    if (!file_.empty()) ReadContents(file_, read_);
}

std::string VerdictCache::DefaultFile() {
    const std::string folder = platform::UserCacheDirectory();
    if (folder.empty()) return {};
    return folder + platform::kPathSeparator + "velmora" + platform::kPathSeparator + "scan-verdicts-" + kBuildName;
}

std::int64_t VerdictCache::NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

const VerdictCache::Entry* VerdictCache::Find(const Key& key) const {
    const auto added = added_.find(key);
    if (added != added_.end()) return &added->second;
    const auto found = read_.entries.find(key);
    return found == read_.entries.end() ? nullptr : &found->second;
}

bool VerdictCache::DueAgain(const Entry& entry, std::int64_t nowMs) {
    if (entry.provisionalRuns <= 1) return true;
    const int doublings = std::min(entry.provisionalRuns - 2, 8);
    const std::int64_t wait = std::min<std::int64_t>((10 * kMinuteMs) << doublings, 24 * 60 * kMinuteMs);
    return nowMs - entry.examinedAtMs >= wait;
}

void VerdictCache::Put(const Key& key, const ScreeningVerdict& verdict, std::int64_t nowMs) {
    Entry entry{verdict, nowMs, 0};
    entry.verdict.fromCache = true;
    if (verdict.provisional) {
        const Entry* before = Find(key);
        entry.provisionalRuns = before && before->verdict.provisional ? before->provisionalRuns + 1 : 1;
    }
    added_[key] = entry;
}

bool VerdictCache::Save() const {
    if (file_.empty() || added_.empty()) return true;
    const auto lock = platform::FileLock::Acquire(file_ + ".lock", kLockWaitMs);
    if (!lock) return false;
    // What other processes wrote since we read stays; ours goes on top, unless the verdicts
    // were forgotten after ours were reached.
    Contents merged;
    ReadContents(file_, merged);
    for (const auto& [key, entry] : added_)
        if (entry.examinedAtMs >= merged.forgottenAtMs) merged.entries[key] = entry;
    if (merged.entries.size() > kMostVerdicts) {
        std::vector<std::pair<std::int64_t, Key>> byAge;
        for (const auto& [key, entry] : merged.entries) byAge.emplace_back(entry.examinedAtMs, key);
        std::nth_element(byAge.begin(), byAge.begin() + static_cast<std::ptrdiff_t>(byAge.size() - kMostVerdicts),
                         byAge.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
        for (std::size_t i = 0; i < byAge.size() - kMostVerdicts; ++i) merged.entries.erase(byAge[i].second);
    }
    return platform::ReplaceFileAtomically(file_, Serialise(merged));
}

bool VerdictCache::Forget() const {
    if (file_.empty()) return true;
    const auto lock = platform::FileLock::Acquire(file_ + ".lock", kLockWaitMs);
    Contents empty;
    empty.forgottenAtMs = NowMs();
    return lock && platform::ReplaceFileAtomically(file_, Serialise(empty));
}

std::string VerdictCache::Serialise(const Contents& contents, std::string_view version) {
    std::string text = HeaderStart(version.empty() ? kLibraryVersion : version) + std::to_string(contents.forgottenAtMs) + "\n";
    for (const auto& [key, entry] : contents.entries) {
        text += EncodeText(key.path) + ' ' + std::to_string(key.stamp.size) + ' ' + std::to_string(key.stamp.modified) +
                ' ' + EncodeText(key.pluginPath) + ' ' + KindWord(entry.verdict) + ' ' + EncodeText(entry.verdict.cause) +
                ' ' + std::to_string(entry.examinedAtMs) + ' ' + std::to_string(entry.provisionalRuns) + '\n';
    }
    return text + Trailer(contents.entries.size(), text);
}

bool VerdictCache::Parse(const std::string& text, Contents& contents) {
    const std::string start = HeaderStart();
    if (text.compare(0, start.size(), start) != 0 || text.empty() || text.back() != '\n') return false;
    const std::size_t headerEnd = text.find('\n');
    const auto trailerStart = text.rfind("end ", text.size() - 1);
    if (trailerStart == std::string::npos || trailerStart <= headerEnd || text[trailerStart - 1] != '\n') return false;

    Contents read;
    if (!ParseNumber(text.substr(start.size(), headerEnd - start.size()), read.forgottenAtMs)) return false;
    for (std::size_t lineStart = headerEnd + 1; lineStart < trailerStart;) {
        const std::size_t end = text.find('\n', lineStart);
        const std::vector<std::string> fields = SplitAtSpaces(text.substr(lineStart, end - lineStart));
        lineStart = end + 1;
        if (fields.size() != 8) return false;
        Key key;
        Entry entry;
        ScreeningVerdict& verdict = entry.verdict;
        if (!ParseNumber(fields[1], key.stamp.size) || !ParseNumber(fields[2], key.stamp.modified) ||
            !ParseNumber(fields[6], entry.examinedAtMs) || !ParseNumber(fields[7], entry.provisionalRuns))
            return false;
        if (!DecodeText(fields[0], key.path) || !DecodeText(fields[3], key.pluginPath) ||
            !DecodeText(fields[5], verdict.cause))
            return false;
        verdict.condemned = fields[4] == "condemned" || fields[4] == "provisional";
        verdict.provisional = fields[4] == "provisional";
        if (!verdict.condemned && fields[4] != "examined") return false;
        if (verdict.provisional != (entry.provisionalRuns > 0) || entry.provisionalRuns < 0) return false;
        verdict.fromCache = true;
        read.entries[key] = entry;
    }
    if (text.compare(trailerStart, std::string::npos, Trailer(read.entries.size(), text.substr(0, trailerStart))) != 0)
        return false;
    contents = std::move(read);
    return true;
}

}  // namespace velmora
