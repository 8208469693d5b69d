#include "core/verdict_cache.h"

#include "core/build_info.h"
#include "platform/platform.h"

#include <cinttypes>
#include <cstdio>
#include <cerrno>
#include <cstdlib>
#include <type_traits>
#include <vector>

namespace velmora {

namespace {

// Past these sizes a cache is not read, and the oldest verdicts are not written again.
constexpr std::size_t kLargestFile = 8 * 1024 * 1024;
constexpr std::size_t kMostVerdicts = 20000;

std::string Header() { return std::string("velmora-verdicts 1 ") + kLibraryVersion + " " + kBuildName + "\n"; }

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

std::string Trailer(std::size_t count, const std::string& body) {
    char line[80];
    std::snprintf(line, sizeof line, "end %zu %016" PRIx64 "\n", count, Checksum(body));
    return line;
}

}  // namespace

VerdictCache::VerdictCache(std::string file) : file_(std::move(file)) {
    std::string text;
    if (!file_.empty() && platform::ReadWholeFile(file_, text) && text.size() <= kLargestFile) Parse(text, verdicts_);
}

std::string VerdictCache::DefaultFile() {
    const std::string folder = platform::UserCacheDirectory();
    if (folder.empty()) return {};
    return folder + platform::kPathSeparator + "velmora" + platform::kPathSeparator + "scan-verdicts-" + kBuildName;
}

const ScreeningVerdict* VerdictCache::Find(const Key& key) const {
    const auto found = verdicts_.find(key);
    return found == verdicts_.end() ? nullptr : &found->second;
}

void VerdictCache::Put(const Key& key, const ScreeningVerdict& verdict) {
    ScreeningVerdict kept = verdict;
    kept.fromCache = false;
    verdicts_[key] = kept;
    added_[key] = kept;
}

bool VerdictCache::Save() const {
    if (file_.empty() || added_.empty()) return true;
    // What another process wrote since we read stays, with ours on top.
    std::map<Key, ScreeningVerdict> merged;
    std::string text;
    if (platform::ReadWholeFile(file_, text) && text.size() <= kLargestFile) Parse(text, merged);
    for (const auto& [key, verdict] : verdicts_) merged.emplace(key, verdict);
    while (merged.size() + added_.size() > kMostVerdicts && !merged.empty()) merged.erase(merged.begin());
    for (const auto& [key, verdict] : added_) merged[key] = verdict;
    return platform::ReplaceFileAtomically(file_, Serialise(merged));
}

bool VerdictCache::Clear() const { return file_.empty() || platform::RemoveFile(file_); }

std::string VerdictCache::Serialise(const std::map<Key, ScreeningVerdict>& verdicts) {
    std::string body;
    for (const auto& [key, verdict] : verdicts) {
        body += EncodeText(key.path) + ' ' + std::to_string(key.stamp.size) + ' ' + std::to_string(key.stamp.modified) +
                ' ' + EncodeText(key.pluginPath) + ' ' + (verdict.condemned ? "condemned " : "examined ") +
                EncodeText(verdict.cause) + '\n';
    }
    return Header() + body + Trailer(verdicts.size(), body);
}

bool VerdictCache::Parse(const std::string& text, std::map<Key, ScreeningVerdict>& verdicts) {
    const std::string header = Header();
    if (text.compare(0, header.size(), header) != 0 || text.empty() || text.back() != '\n') return false;
    const auto trailerStart = text.rfind("end ", text.size() - 1);
    if (trailerStart == std::string::npos || trailerStart < header.size() || text[trailerStart - 1] != '\n') return false;
    const std::string body = text.substr(header.size(), trailerStart - header.size());

    std::map<Key, ScreeningVerdict> read;
    for (std::size_t start = 0; start < body.size();) {
        const std::size_t end = body.find('\n', start);
        if (end == std::string::npos) return false;
        const std::vector<std::string> fields = SplitAtSpaces(body.substr(start, end - start));
        start = end + 1;
        if (fields.size() != 6) return false;
        Key key;
        ScreeningVerdict verdict;
        if (!ParseNumber(fields[1], key.stamp.size) || !ParseNumber(fields[2], key.stamp.modified)) return false;
        if (!DecodeText(fields[0], key.path) || !DecodeText(fields[3], key.pluginPath) ||
            !DecodeText(fields[5], verdict.cause))
            return false;
        if (fields[4] != "condemned" && fields[4] != "examined") return false;
        verdict.condemned = fields[4] == "condemned";
        verdict.fromCache = true;
        read[key] = verdict;
    }
    if (text.substr(trailerStart) != Trailer(read.size(), body)) return false;
    verdicts.insert(read.begin(), read.end());
    return true;
}

}  // namespace velmora
