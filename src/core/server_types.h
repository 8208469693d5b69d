// The server-type table: one record per discovered plug-in, in discovery order.
#pragma once

#include "core/flat_int_map.h"
#include "types/records.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace velmora {

using ServerTypeRecordPtr = std::shared_ptr<const ServerTypeRecord>;

// A complete table never changes: a rebuild makes a new one, so readers on any thread keep
// a consistent table, and the records they hold, for as long as they need them.
class ServerTypeTable {
public:
    ServerTypeTable() = default;
    explicit ServerTypeTable(std::vector<ServerTypeRecordPtr> records);

    // The first record of the type ID in table order, or null; without walking the table.
    ServerTypeRecordPtr Find(VelmoraInt typeId) const;
    // The plug-in of that record, for a caller that holds the table meanwhile: one lookup
    // and no shared record, as every forwarded call needs it.
    const TServerTypeDLL* FindPlugin(VelmoraInt typeId) const {
        const FirstOfType* first = firstOfType_.Find(typeId);
        return first ? first->plugin : nullptr;
    }

    auto begin() const { return records_.begin(); }
    auto end() const { return records_.end(); }
    std::size_t size() const { return records_.size(); }
    bool empty() const { return records_.empty(); }
    const ServerTypeRecordPtr& operator[](std::size_t index) const { return records_[index]; }

private:
    std::vector<ServerTypeRecordPtr> records_;
    struct FirstOfType {
        std::uint32_t index;
        const TServerTypeDLL* plugin;
    };
    FlatIntMap<FirstOfType> firstOfType_;
};

inline ServerTypeRecordPtr FindServerType(const ServerTypeTable& table, VelmoraInt typeId) {
    return table.Find(typeId);
}

// The built-in user-visible name of a type ID, as code-page-936 bytes; empty for the
// other IDs, whose plug-ins may name their type themselves.
std::string GetTypeDisplayName(VelmoraInt typeId);

// What became of one entry the system listed for the plug-in pattern.
enum class CandidateOutcome {
    Accepted,
    ExtensionNotLowerCase,  // the system matched the name ignoring case
    NotLoadable,            // the system refused to load the file
    NoGetServerTypeID,
    Fault,                  // a fault in the plug-in's code, or one it let escape
    OutOfMemory,
};

struct CandidateReport {
    CandidateOutcome outcome = CandidateOutcome::Accepted;
    ServerTypeRecordPtr record;    // Accepted: the record the table got
    std::string loadError;         // NotLoadable: the system's own words
    const char* faultedCall = "";  // Fault: the call under way; loading belongs to the first
};

// Told, on the scanning thread, about every listed entry in listing order: its name and
// what became of it. Only for diagnostics: a scan does the same with or without one.
using ScanObserver = std::function<void(const std::string& name, const CandidateReport& report)>;

// Builds a table from the plug-in files of directory, handing pluginPath to each plug-in
// it binds. A candidate that cannot be loaded, lacks GetServerTypeID or faults while it
// is examined is passed over; the scan goes on with the next file.
ServerTypeTable ScanPluginDirectory(const std::string& directory, const std::string& pluginPath,
                                    const ScanObserver& observer = {});

}  // namespace velmora
