// velmora-probe: explains what Velmora makes of a folder of plug-ins. What it does, its
// options and its exit status are in usage.txt beside this file, which is also its --help
// and its manual page.
#include "core/build_info.h"
#include "core/candidate_screening.h"
#include "core/candidate_verdict.h"
#include "core/readable_text.h"
#include "core/server_manager.h"
#include "core/server_types.h"
#include "core/verdict_cache.h"
#include "platform/platform.h"
#include "platform/process.h"
#include "plugin/entry_point_table.h"
#include "binary_image.h"
#include "export_names.h"
#include "json_text.h"
#include "terminal_text.h"
#include "usage.h"

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

using tools::kUsage;
using tools::NameAsUtf8;

// ---- Output: JSON written by hand.

const auto Quoted = tools::JsonQuoted;

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
    std::string cause;
    std::string fileKind;  // a special file's kind
    std::string decoratedName;  // no-GetServerTypeID: the name it is exported under instead
    bool cached = false;
};

const std::string kPattern = std::string("QXDVR*") + platform::kPluginExtension;

// A file without GetServerTypeID may export it under another name (a stdcall decoration, a
// C++ name): say which, and how to export the bare one.
void NameDecoratedTypeId(const std::string& path, Finding& finding) {
    const auto found = tools::FindDecoratedExports(tools::ReadBinaryImageFile(path).exports, {"GetServerTypeID"});
    if (found.empty()) return;
    finding.decoratedName = found.front().exported;
    finding.detail += ", but " + tools::DescribeDecoration(found.front()) + ": " +
                      tools::HowToExportBareNames(found.front().decoration);
}

Finding Explain(const std::string& path, const std::string& name, const CandidateReport& report) {
    Finding finding{name};
    const CandidateVerdict verdict = DescribeCandidate(name, report, ReadableDisplayName);
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
    if (report.outcome == CandidateOutcome::SpecialFile) finding.fileKind = report.specialKind;
    if (report.outcome == CandidateOutcome::Condemned) finding.cause = report.cause;
    if (report.outcome == CandidateOutcome::NoGetServerTypeID) NameDecoratedTypeId(path, finding);
    finding.cached = report.fromCache;
    return finding;
}

std::string FindingJson(const Finding& f) {
    std::string line = "{\"name\": " + Quoted(NameAsUtf8(f.name)) + ", \"accepted\": " + (f.accepted ? "true" : "false");
    if (f.accepted) {
        std::vector<std::string> names;
        for (const std::string& entry : f.entryPoints) names.push_back(Quoted(entry));
        line += ", \"typeId\": " + std::to_string(f.typeId) + ", \"displayName\": " + Quoted(ReadableDisplayName(f.displayName)) +
                ", \"displayNameCp936\": " + Quoted(Hex(f.displayName)) + ", \"entryPoints\": [" + Join(names, ", ") + "]";
    } else {
        line += ", \"reason\": " + Quoted(f.reason);
        if (!f.systemError.empty()) line += ", \"systemError\": " + Quoted(f.systemError);
        if (!f.faultedCall.empty()) line += ", \"call\": " + Quoted(f.faultedCall);
        if (!f.cause.empty()) line += ", \"cause\": " + Quoted(f.cause);
        if (!f.fileKind.empty()) line += ", \"fileKind\": " + Quoted(f.fileKind);
        if (!f.decoratedName.empty()) line += ", \"decoratedName\": " + Quoted(f.decoratedName);
    }
    return line + ", \"cached\": " + (f.cached ? "true" : "false") + ", \"detail\": " + Quoted(f.detail) + "}";
}

// Prints every entry of the directory as soon as it is known: the candidates in the order
// the scan meets them, then the entries the pattern left out.
int PrintExamination(const std::string& directory, bool json, const ScreeningSettings& settings) {
    if (!platform::IsDirectory(directory)) {
        std::fprintf(stderr, "velmora-probe: %s is not a directory\n", NameAsUtf8(directory).c_str());
        return 1;
    }
    std::vector<std::string> entries;
    std::size_t width = 0;
    for (const std::string& name : platform::FindMatchingEntries(directory + platform::kPathSeparator + "*")) {
        if (name == "." || name == "..") continue;
        entries.push_back(name);
        width = std::max(width, NameAsUtf8(name).size());
    }
    int accepted = 0, passedOver = 0;
    const char* separator = "\n";
    const auto print = [&](const Finding& f) {
        (f.accepted ? accepted : passedOver)++;
        if (json) {
            std::printf("%s    %s", separator, FindingJson(f).c_str());
            separator = ",\n";
        } else {
            std::printf("  %-*s  %s: %s\n", int(width), NameAsUtf8(f.name).c_str(),
                        f.accepted ? "accepted" : "passed over", f.detail.c_str());
        }
        std::fflush(stdout);
    };

    const std::string how = settings.enabled ? "examined through the helper process" : "examined in this process";
    if (json)
        std::printf("{\n  \"directory\": %s,\n  \"pattern\": %s,\n  \"isolated\": %s,\n  \"candidates\": [",
                    Quoted(NameAsUtf8(directory)).c_str(), Quoted(kPattern).c_str(),
                    settings.enabled ? "true" : "false");
    else
        std::printf("%s (candidates: %s, %s)\n", NameAsUtf8(directory).c_str(), kPattern.c_str(), how.c_str());
    std::fflush(stdout);

    std::set<std::string> matched;
    ScanPluginDirectory(
        directory, directory,
        [&](const std::string& name, const CandidateReport& report) {
            matched.insert(name);
            print(Explain(directory + platform::kPathSeparator + name, name, report));
        },
        settings);
    for (const std::string& name : entries) {
        if (matched.count(name)) continue;
        Finding finding{name};
        finding.reason = "name-not-matching";
        finding.detail = "name does not match " + kPattern;
        print(finding);
    }
    if (json)
        std::printf("\n  ],\n  \"accepted\": %d\n}\n", accepted);
    else
        std::printf("%d plug-in(s) accepted, %d passed over\n", accepted, passedOver);
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
    // Beside the program (build trees, Windows installs), else where an install puts it
    // relative to the program's folder (Linux: bin/ and lib/).
    const std::string programDirectory = DirectoryPart(platform::ExecutablePath());
    std::string libraryPath = programDirectory + VELMORA_LIBRARY_FILE;
    platform::ModuleHandle library = platform::OpenModule(libraryPath);
    if (!library && std::strcmp(VELMORA_INSTALLED_LIBRARY, VELMORA_LIBRARY_FILE) != 0) {
        libraryPath = programDirectory + VELMORA_INSTALLED_LIBRARY;
        library = platform::OpenModule(libraryPath);
    }
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
    const std::vector<std::string> order = {directory, programDirectory,
                                            platform::SystemDirectory(), platform::WindowsDirectory()};
    // The block holds texts in the host's code page, as a host writes them.
    std::string hostText;
    if (!tools::PathAsHostText(directory, hostText))
        std::fprintf(stderr, "velmora-probe: the ANSI code page cannot hold every character of %s: "
                             "a host cannot name that folder in InitParams\n", NameAsUtf8(directory).c_str());
    VelmoraInitParams params{};
    const std::size_t length = std::min<std::size_t>(hostText.size(), 255);
    for (unsigned char* field : {params.pluginPath, params.pluginDirectory}) {
        field[0] = static_cast<unsigned char>(length);
        std::memcpy(field + 1, hostText.data(), length);
    }
    const VelmoraInt initResult = init(&params, 0);
    std::vector<Type> types;
    list(CollectType, reinterpret_cast<VelmoraWord>(&types));
    deinit();
    platform::CloseModule(library);

    if (json) {
        std::vector<std::string> folders, entries;
        for (const std::string& folder : order) folders.push_back(Quoted(NameAsUtf8(folder)));
        for (const Type& type : types)
            entries.push_back("{\"typeId\": " + std::to_string(type.typeId) + ", \"displayName\": " +
                              Quoted(ReadableDisplayName(type.name)) + ", \"displayNameCp936\": " + Quoted(Hex(type.name)) + "}");
        std::printf("{\n  \"searchOrder\": [%s],\n  \"initResult\": %d,\n  \"types\": [%s]\n}\n",
                    Join(folders, ", ").c_str(), int(initResult), Join(entries, ", ").c_str());
    } else {
        std::printf("Velmora_InitSvManage searched, until one folder yielded a plug-in:\n");
        for (std::size_t i = 0; i < order.size(); ++i)
            std::printf("  %d. %s\n", int(i + 1), NameAsUtf8(order[i]).c_str());
        std::printf("and answered %d. Velmora_GetServerTypeInfo lists %d type(s):\n", int(initResult), int(types.size()));
        for (const Type& type : types)
            std::printf("  type ID %d: %s\n", int(type.typeId),
                        type.name.empty() ? "no display name" : ReadableDisplayName(type.name).c_str());
    }
    return types.empty() ? 1 : 0;
}

}  // namespace
}  // namespace velmora

int main(int argc, char** argv) {
    using namespace velmora;
    tools::PrepareUtf8Output();
    bool json = false, init = false, forget = false, unknown = false;
    ScreeningSettings settings = ScreeningSettings::FromEnvironment();
    // Installed on Linux, the probe sits in bin/ and the helper beside the library.
    platform::FileStamp helperStamp;
    if (platform::EnvironmentVariable("VELMORA_SCAN_HELPER").empty() && !platform::StampOf(settings.helper, helperStamp))
        settings.helper = HelperFileFor(DirectoryPart(platform::ExecutablePath()) + VELMORA_INSTALLED_LIBRARY);
    std::vector<std::string> directories;
    const std::vector<std::string> arguments = tools::ProgramArguments(argc, argv);
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (argument == "--version") {
            std::printf("velmora-probe %s (%s)\n", kLibraryVersion, kBuildName);
            return 0;
        }
        if (argument == "--json") json = true;
        else if (argument == "--init") init = true;
        else if (argument == "--in-process") settings.enabled = false;
        else if (argument == "--forget") forget = true;
        else if (argument.compare(0, 2, "--") == 0) unknown = true;
        else directories.push_back(argument);
    }
    if (unknown || directories.size() > 1 || (directories.empty() && !forget)) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    if (forget) {
        const VerdictCache cache(VerdictCache::DefaultFile());
        const bool forgotten = cache.Forget();
        std::fprintf(json ? stderr : stdout, "%s the remembered verdicts%s%s\n", forgotten ? "forgot" : "could not forget",
                     cache.file().empty() ? "" : ": ", NameAsUtf8(cache.file()).c_str());
        if (directories.empty()) return forgotten ? 0 : 2;
    }
    return init ? PrintInitialisation(directories[0], json) : PrintExamination(directories[0], json, settings);
}
