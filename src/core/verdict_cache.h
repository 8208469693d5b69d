// The helper's verdicts, remembered per user in one file per library build. A verdict
// holds for a file of one full path, size and modification time, handed one SetPath text,
// by one library version; anything else about the file makes it a stranger again.
//
// The cache can only save work, never change a result: a file that is missing, unreadable,
// corrupt, truncated or from another version is ignored whole (each is checked against a
// count and a checksum of its lines), and a new one replaces it atomically, so a host that
// starts while another writes reads the old file or the new one.
#pragma once

#include "core/candidate_screening.h"
#include "platform/process.h"

#include <map>
#include <string>
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

    // Reads file; an empty name gives a cache that keeps nothing.
    explicit VerdictCache(std::string file);

    // The file under the user's cache folder, or empty when there is none.
    static std::string DefaultFile();

    const ScreeningVerdict* Find(const Key& key) const;
    void Put(const Key& key, const ScreeningVerdict& verdict);
    // Writes the verdicts back, with those another process wrote meanwhile; false when the
    // file could not be replaced (the verdicts are then simply not remembered).
    bool Save() const;
    // Forgets every verdict of this build.
    bool Clear() const;

    const std::string& file() const { return file_; }

    // The text of a cache file holding these verdicts, and the verdicts of such a text;
    // false for any text that is not exactly such a file.
    static std::string Serialise(const std::map<Key, ScreeningVerdict>& verdicts);
    static bool Parse(const std::string& text, std::map<Key, ScreeningVerdict>& verdicts);

private:
    std::string file_;
    std::map<Key, ScreeningVerdict> verdicts_;
    std::map<Key, ScreeningVerdict> added_;
};

}  // namespace velmora
