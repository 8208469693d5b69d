// The helper's verdicts, remembered per user in one file per library build. A verdict
// holds for a file of one full path, size and modification time, handed one SetPath text,
// by one library version; anything else about the file makes it a stranger again.
//
// The cache can only save work, never change a result: a file that is missing, unreadable,
// corrupt, truncated or from another version is ignored whole (each is checked against a
// count and a checksum of its lines), and a new one replaces it atomically, so a host that
// starts while another writes reads the old file or the new one. Saving and forgetting
// hold a lock file beside it, so that two processes saving at once keep each other's
// verdicts, and a save after a forget writes back nothing examined before it.
#pragma once

#include "core/candidate_screening.h"
#include "platform/process.h"

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <tuple>

namespace velmora {

class VerdictCache {
public:
    struct Key {
        std::string path;
        platform::FileStamp stamp;
        std::string pluginPath;
        bool operator<(const Key& other) const {
            return std::tie(path, stamp.size, stamp.modified, pluginPath) <
                   std::tie(other.path, other.stamp.size, other.stamp.modified, other.pluginPath);
        }
    };
    struct Entry {
        ScreeningVerdict verdict;
        std::int64_t examinedAtMs = 0;  // wall-clock milliseconds since 1970
        int provisionalRuns = 0;        // provisional verdicts in a row, this one included
    };
    // What a cache file holds: its entries, and when its verdicts were last forgotten.
    struct Contents {
        std::map<Key, Entry> entries;
        std::int64_t forgottenAtMs = 0;
    };

    // Reads file; an empty name gives a cache that keeps nothing.
    explicit VerdictCache(std::string file);

    // The file under the user's cache folder, or empty when there is none.
    static std::string DefaultFile();

    // The wall clock as verdicts are dated: milliseconds since 1970.
    static std::int64_t NowMs();

    const Entry* Find(const Key& key) const;
    // Whether a provisional verdict is to be examined again at nowMs: at the next start
    // after the first, then no sooner than 10 minutes after the second, 20 after the third,
    // doubling up to once a day.
    static bool DueAgain(const Entry& entry, std::int64_t nowMs);
    // Remembers a verdict reached at nowMs.
    void Put(const Key& key, const ScreeningVerdict& verdict, std::int64_t nowMs);
    // Writes the verdicts put here into the file, with those other processes wrote meanwhile;
    // false when the file could not be replaced (the verdicts are then simply not remembered).
    bool Save() const;
    // Forgets every verdict of this build, also those a process examining now will save.
    bool Forget() const;

    const std::string& file() const { return file_; }

    // The text of a cache file (of another library version if one is named), and the
    // contents of such a text; false for any text that is not exactly such a file of this
    // version.
    static std::string Serialise(const Contents& contents, std::string_view version = {});
    static bool Parse(const std::string& text, Contents& contents);

private:
    std::string file_;
    Contents read_;
    std::map<Key, Entry> added_;
};

}  // namespace velmora
