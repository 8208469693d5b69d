// The checks that read the file without running it: its name, its form and machine, the
// libraries it imports and the names it exports.
#include "check.h"
#include "entry_calls.h"
#include "export_names.h"
#include "platform/platform.h"
#include "terminal_text.h"

#include <algorithm>
#include <cctype>

namespace velmora::validate {

namespace {

using tools::ImageFormat;

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string Describe(const tools::BinaryImage& image) {
    std::string kind = image.format == ImageFormat::Pe ? (image.library ? "DLL" : "executable")
                                                       : (image.library ? "shared object" : "executable");
    return "a " + std::to_string(image.bits) + "-bit " + tools::ArchitectureName(image.architecture, image.machineCode) +
           " " + tools::FormatName(image.format) + " " + kind;
}

std::string ThisBuild() {
    return std::to_string(tools::ThisBuildBits()) + "-bit " +
           tools::ArchitectureName(tools::ThisBuildArchitecture(), 0) + " " + tools::FormatName(tools::ThisBuildFormat()) +
           (tools::ThisBuildFormat() == ImageFormat::Pe ? " DLL" : " shared object");
}

// Whether the file is of this build's form, so that its imports and exports mean something.
bool ReadableHere(CheckContext& context, CheckRun& run) {
    const tools::BinaryImage& image = context.Image();
    if (image.format != tools::ThisBuildFormat()) {
        run.Skip("not a " + tools::FormatName(tools::ThisBuildFormat()) + " file (see file-form)");
        return false;
    }
    if (!image.problem.empty()) {
        run.Skip("the file does not read whole (see file-form)");
        return false;
    }
    return true;
}

}  // namespace

void CheckFileName(CheckContext& context, CheckRun& run) {
    const std::string& name = context.name();
    const std::string shown = tools::NameAsUtf8(name);
    const std::string wanted = platform::kPluginExtension;
    const auto dot = name.rfind('.');
    const std::string extension = dot == std::string::npos ? std::string{} : name.substr(dot);
    if (Lower(name.substr(0, 5)) != "qxdvr")
        run.Fail("", shown + " does not start with QXDVR: the library looks only for QXDVR*" + wanted + "; rename it");
    else if (extension.empty())
        run.Fail("", "the extension is missing: the library passes the file over; rename it to end in " + wanted);
    else if (extension != wanted)
        run.Fail("", "the extension " + tools::NameAsUtf8(extension) + " is not " + wanted +
                         (Lower(extension) == wanted ? " in lower case" : "") +
                         ": the library passes the file over; rename it to end in " + wanted);
    else
        run.Pass(shown + " matches QXDVR*" + wanted);
}

void CheckFileForm(CheckContext& context, CheckRun& run) {
    const tools::BinaryImage& image = context.Image();
    if (image.format == ImageFormat::Unknown)
        return run.Fail("", image.problem + ": this build loads a " + ThisBuild());
    const std::string what = Describe(image);
    if (image.format != tools::ThisBuildFormat() || image.architecture != tools::ThisBuildArchitecture() ||
        image.bits != tools::ThisBuildBits())
        return run.Fail("", "it is " + what + ", offered to the " + std::string(tools::ThisBuildBits() == 32 ? "32" : "64") +
                                "-bit library, which loads a " + ThisBuild() + ": build it for that");
    if (!image.library) return run.Fail("", "it is " + what + ", not a library: build it as one");
    if (!image.problem.empty()) return run.Fail("", "it is " + what + ", but damaged: " + image.problem);
    run.Pass("it is " + what + ", as this build loads");
}

void CheckFileImports(CheckContext& context, CheckRun& run) {
    if (!ReadableHere(context, run)) return;
    const tools::BinaryImage& image = context.Image();
    // Windows: the library loads a plug-in with its own folder searched first when a
    // library it needs is missing. Linux: only the run paths the plug-in carries count.
    std::vector<std::string> folders;
    if (image.format == ImageFormat::Pe) folders.push_back(context.directory());
    for (std::string folder : image.runPaths) {
        for (const std::string origin : {"$ORIGIN", "${ORIGIN}"})
            for (auto at = folder.find(origin); at != std::string::npos; at = folder.find(origin))
                folder.replace(at, origin.size(), context.directory());
        folders.push_back(folder);
    }
    std::string found;
    for (const std::string& import : image.imports) {
        std::string problem;
        if (platform::LibraryCanBeFound(import, folders, problem)) {
            found += (found.empty() ? "" : ", ") + import;
            continue;
        }
        std::string advice = "ship it beside the plug-in", beside;
        if (image.format == ImageFormat::Elf)
            advice = platform::LibraryCanBeFound(import, {context.directory()}, beside)
                         ? "it lies beside the plug-in, but the plug-in has no run path $ORIGIN: link it with "
                           "-Wl,-rpath,'$ORIGIN'"
                         : "ship it beside the plug-in, which needs the run path $ORIGIN (-Wl,-rpath,'$ORIGIN')";
        run.Fail("", "it imports " + import + ", which cannot be found (" + problem + "): " + advice);
    }
    run.Pass(image.imports.empty() ? "it imports no library"
                                   : std::to_string(image.imports.size()) + " imported libraries, all found: " + found);
}

void CheckExportNames(CheckContext& context, CheckRun& run) {
    if (!ReadableHere(context, run)) return;
    const std::vector<std::string>& exports = context.Image().exports;
    std::vector<std::string> contract;
    for (const EntryPointInfo& entry : kEntryPoints) contract.push_back(entry.name);
    bool typeIdFound = std::find(exports.begin(), exports.end(), "GetServerTypeID") != exports.end();
    for (const tools::DecoratedExport& found : tools::FindDecoratedExports(exports, contract)) {
        std::string size;
        const auto which = std::find(contract.begin(), contract.end(), found.entryPoint) - contract.begin();
        const int bytes = ContractArgumentBytes(static_cast<EntryPoint>(which));
        if (found.argumentBytes >= 0 && found.argumentBytes != bytes)
            size = "; its @" + std::to_string(found.argumentBytes) + " says " + std::to_string(found.argumentBytes) +
                   " bytes of arguments where a host passes " + std::to_string(bytes);
        else if (found.argumentBytes >= 0)
            size = "; its @" + std::to_string(found.argumentBytes) + " agrees with the contract";
        run.Fail(found.entryPoint, tools::DescribeDecoration(found) + size + ": the library finds only the bare name; " +
                                       tools::HowToExportBareNames(found.decoration));
        typeIdFound = typeIdFound || found.entryPoint == "GetServerTypeID";
    }
    if (!typeIdFound)
        run.Fail("GetServerTypeID", "it exports no GetServerTypeID, under any name: a file without it is no plug-in");
    std::size_t bare = 0;
    for (const std::string& name : contract) bare += std::count(exports.begin(), exports.end(), name) > 0;
    run.Pass(std::to_string(bare) + " of " + std::to_string(contract.size()) +
             " entry points exported, each under its bare name, GetServerTypeID among them");
}

}  // namespace velmora::validate
