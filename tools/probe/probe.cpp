// velmora-probe: explains what Velmora makes of a folder of plug-ins.
//
//   velmora-probe [--json] DIR          examines DIR with the library's own discovery code and
//                                       prints one line per entry: accepted (type ID, display
//                                       name, entry points) or passed over, and why
//   velmora-probe --init [--json] DIR   runs the library's initialisation over DIR (and its
//                                       fallback folders) and lists the types it then reports
//
// Exit status: 0 when a plug-in was found, 1 when none was, 2 for a usage error or a library
// that cannot be loaded.
#include "core/candidate_verdict.h"
#include "core/server_manager.h"
#include "core/server_types.h"
#include "platform/platform.h"
#include "plugin/entry_point_table.h"
#include "terminal_text.h"

#include <velmora/velmora.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace velmora {
namespace {

using tools::Cp936ToUtf8;

// ---- Output: JSON written by hand, with the strings escaped.

std::string Quoted(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string Hex(const std::string& bytes) {
    std::string out;
    char digits[3];
    for (unsigned char c : bytes) {
        std::snprintf(digits, sizeof digits, "%02X", c);
        out += digits;
    }
    return out;
}

std::string Join(const std::vector<std::string>& items, const char* separator) {
    std::string out;
    for (const std::string& item : items) out += (out.empty() ? "" : separator) + item;
    return out;
}

// ---- Examining a directory.

struct Finding {
    explicit Finding(std::string entry) : name(std::move(entry)) {}

    std::string name;
    bool accepted = false;
    std::string reason;  // for machines: a fixed word
    std::string detail;  // for people
    VelmoraInt typeId = 0;
    std::string displayName;  // code page 936
    std::vector<std::string> entryPoints;
    std::string systemError;
    std::string faultedCall;
};

const std::string kPattern = std::string("QXDVR*") + platform::kPluginExtension;

Finding Explain(const std::string& name, const CandidateReport& report) {
    Finding finding{name};
    const CandidateVerdict verdict = DescribeCandidate(name, report, Cp936ToUtf8);
    finding.accepted = verdict.accepted;
    finding.reason = verdict.reason;
    finding.detail = verdict.detail;
    if (report.outcome == CandidateOutcome::Accepted) {
        const ServerTypeRecord& record = *report.record;
        finding.typeId = record.typeId;
        finding.displayName = std::string(record.displayName.View());
        for (std::size_t i = 0; i < kEntryPointCount; ++i)
            if (record.plugin->Has(static_cast<EntryPoint>(i))) finding.entryPoints.push_back(kEntryPoints[i].name);
    }
    if (report.outcome == CandidateOutcome::NotLoadable) finding.systemError = report.loadError;
    if (report.outcome == CandidateOutcome::Fault) finding.faultedCall = report.faultedCall;
    return finding;
}

// The candidates in the order the scan met them, then the entries the pattern left out.
std::vector<Finding> Examine(const std::string& directory) {
    std::vector<Finding> findings;
    std::set<std::string> matched;
    ScanPluginDirectory(directory, directory, [&](const std::string& name, const CandidateReport& report) {
        matched.insert(name);
        findings.push_back(Explain(name, report));
    });
    for (const std::string& name : platform::FindMatchingEntries(directory + platform::kPathSeparator + "*")) {
        if (name == "." || name == ".." || matched.count(name)) continue;
        Finding finding{name};
        finding.reason = "name-not-matching";
        finding.detail = "name does not match " + kPattern;
        findings.push_back(finding);
    }
    return findings;
}

int PrintExamination(const std::string& directory, bool json) {
    if (!platform::IsDirectory(directory)) {
        std::fprintf(stderr, "velmora-probe: %s is not a directory\n", directory.c_str());
        return 1;
    }
    const std::vector<Finding> findings = Examine(directory);
    const auto accepted = std::count_if(findings.begin(), findings.end(), [](const Finding& f) { return f.accepted; });
    if (json) {
        std::printf("{\n  \"directory\": %s,\n  \"pattern\": %s,\n  \"accepted\": %d,\n  \"candidates\": [",
                    Quoted(directory).c_str(), Quoted(kPattern).c_str(), int(accepted));
        const char* separator = "\n";
        for (const Finding& f : findings) {
            std::string line = "{\"name\": " + Quoted(f.name) + ", \"accepted\": " + (f.accepted ? "true" : "false");
            if (f.accepted) {
                std::vector<std::string> names;
                for (const std::string& entry : f.entryPoints) names.push_back(Quoted(entry));
                line += ", \"typeId\": " + std::to_string(f.typeId) + ", \"displayName\": " +
                        Quoted(Cp936ToUtf8(f.displayName)) + ", \"displayNameCp936\": " + Quoted(Hex(f.displayName)) +
                        ", \"entryPoints\": [" + Join(names, ", ") + "]";
            } else {
                line += ", \"reason\": " + Quoted(f.reason);
                if (!f.systemError.empty()) line += ", \"systemError\": " + Quoted(f.systemError);
                if (!f.faultedCall.empty()) line += ", \"call\": " + Quoted(f.faultedCall);
            }
            line += ", \"detail\": " + Quoted(f.detail) + "}";
            std::printf("%s    %s", separator, line.c_str());
            separator = ",\n";
        }
        std::printf("\n  ]\n}\n");
    } else {
        std::printf("%s (candidates: %s)\n", directory.c_str(), kPattern.c_str());
        std::size_t width = 0;
        for (const Finding& f : findings) width = std::max(width, f.name.size());
        for (const Finding& f : findings)
            std::printf("  %-*s  %s: %s\n", int(width), f.name.c_str(), f.accepted ? "accepted" : "passed over",
                        f.detail.c_str());
        std::printf("%d plug-in(s) accepted, %d passed over\n", int(accepted), int(findings.size() - accepted));
    }
    return accepted > 0 ? 0 : 1;
}

// ---- The library's own initialisation.

struct Type {
    VelmoraInt typeId;
    std::string name;
};

void VELMORA_CALL CollectType(VelmoraInt typeId, const char* name, VelmoraWord user) {
    reinterpret_cast<std::vector<Type>*>(user)->push_back({typeId, name});
}

int PrintInitialisation(const std::string& directory, bool json) {
    const std::string libraryPath = DirectoryPart(platform::ExecutablePath()) + VELMORA_LIBRARY_FILE;
    const platform::ModuleHandle library = platform::OpenModule(libraryPath);
    if (!library) {
        std::fprintf(stderr, "velmora-probe: cannot load %s: %s\n", libraryPath.c_str(), platform::LastLoadError().c_str());
        return 2;
    }
    const auto init = reinterpret_cast<decltype(&Velmora_InitSvManage)>(platform::FindSymbol(library, "Velmora_InitSvManage"));
    const auto list = reinterpret_cast<decltype(&Velmora_GetServerTypeInfo)>(platform::FindSymbol(library, "Velmora_GetServerTypeInfo"));
    const auto deinit = reinterpret_cast<decltype(&Velmora_DeInitSvManage)>(platform::FindSymbol(library, "Velmora_DeInitSvManage"));
    if (!init || !list || !deinit) {
        std::fprintf(stderr, "velmora-probe: %s lacks the exports it needs\n", libraryPath.c_str());
        return 2;
    }

    // The order the library searches in, the first folder that yields a plug-in winning.
    const std::vector<std::string> order = {directory, DirectoryPart(platform::ExecutablePath()),
                                            platform::SystemDirectory(), platform::WindowsDirectory()};
    VelmoraInitParams params{};
    const std::size_t length = std::min<std::size_t>(directory.size(), 255);
    for (unsigned char* field : {params.pluginPath, params.pluginDirectory}) {
        field[0] = static_cast<unsigned char>(length);
        std::memcpy(field + 1, directory.data(), length);
    }
    const VelmoraInt initResult = init(&params, 0);
    std::vector<Type> types;
    list(CollectType, reinterpret_cast<VelmoraWord>(&types));
    deinit();
    platform::CloseModule(library);

    if (json) {
        std::vector<std::string> folders, entries;
        for (const std::string& folder : order) folders.push_back(Quoted(folder));
        for (const Type& type : types)
            entries.push_back("{\"typeId\": " + std::to_string(type.typeId) + ", \"displayName\": " +
                              Quoted(Cp936ToUtf8(type.name)) + ", \"displayNameCp936\": " + Quoted(Hex(type.name)) + "}");
        std::printf("{\n  \"searchOrder\": [%s],\n  \"initResult\": %d,\n  \"types\": [%s]\n}\n",
                    Join(folders, ", ").c_str(), int(initResult), Join(entries, ", ").c_str());
    } else {
        std::printf("Velmora_InitSvManage searched, until one folder yielded a plug-in:\n");
        for (std::size_t i = 0; i < order.size(); ++i) std::printf("  %d. %s\n", int(i + 1), order[i].c_str());
        std::printf("and answered %d. Velmora_GetServerTypeInfo lists %d type(s):\n", int(initResult), int(types.size()));
        for (const Type& type : types)
            std::printf("  type ID %d: %s\n", int(type.typeId),
                        type.name.empty() ? "no display name" : Cp936ToUtf8(type.name).c_str());
    }
    return types.empty() ? 1 : 0;
}

}  // namespace
}  // namespace velmora

int main(int argc, char** argv) {
    velmora::tools::PrepareUtf8Output();
    bool json = false, init = false;
    std::vector<std::string> directories;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--json") json = true;
        else if (argument == "--init") init = true;
        else directories.push_back(argument);
    }
    if (directories.size() != 1) {
        std::fprintf(stderr, "usage: %s [--init] [--json] DIRECTORY\n", argv[0]);
        return 2;
    }
    return init ? velmora::PrintInitialisation(directories[0], json)
                : velmora::PrintExamination(directories[0], json);
}
