#include "export_names.h"

#include <algorithm>
#include <cctype>
#include <set>
#include <string_view>

namespace velmora::tools {

namespace {

bool AllDigits(std::string_view text) {
    return !text.empty() && text.size() <= 6 &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

int Number(std::string_view digits) {
    int value = 0;
    for (char c : digits) value = value * 10 + (c - '0');
    return value;
}

// Splits "Name@N" into Name and N; false without an @N ending.
bool SplitArgumentBytes(std::string_view name, std::string_view& stem, int& bytes) {
    const auto at = name.rfind('@');
    if (at == std::string_view::npos || !AllDigits(name.substr(at + 1))) return false;
    stem = name.substr(0, at);
    bytes = Number(name.substr(at + 1));
    return true;
}

// Whether an Itanium C++ name (_Z...) names a function called wanted, at namespace level or
// nested (_ZN6vendor10PTZControlE...).
bool ItaniumNames(std::string_view name, std::string_view wanted) {
    if (name.substr(0, 2) != "_Z") return false;
    std::size_t at = 2;
    if (at < name.size() && name[at] == 'N') ++at;
    while (at < name.size() && name[at] >= '0' && name[at] <= '9') {
        std::size_t length = 0;
        while (at < name.size() && name[at] >= '0' && name[at] <= '9' && length < 100000)
            length = length * 10 + static_cast<std::size_t>(name[at++] - '0');
        if (length > name.size() - at) return false;
        if (name.substr(at, length) == wanted) return true;
        at += length;
    }
    return false;
}

bool EqualIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

// How exported stands for wanted, if it does.
bool Decorates(std::string_view exported, std::string_view wanted, DecoratedExport& found) {
    std::string_view stem;
    int bytes = -1;
    const bool sized = SplitArgumentBytes(exported, stem, bytes);
    if (sized && (stem == wanted || (stem.size() == wanted.size() + 1 && stem[0] == '_' && stem.substr(1) == wanted))) {
        found.decoration = Decoration::Stdcall;
    } else if (sized && stem.size() == wanted.size() + 1 && stem[0] == '@' && stem.substr(1) == wanted) {
        found.decoration = Decoration::Fastcall;
    } else if (ItaniumNames(sized ? stem : exported, wanted) ||
               (exported.size() > wanted.size() + 3 && exported[0] == '?' && exported.substr(1, wanted.size()) == wanted &&
                exported.substr(wanted.size() + 1, 2) == "@@")) {
        found.decoration = Decoration::CppName;
    } else if (EqualIgnoringCase(exported, wanted)) {
        found.decoration = Decoration::LetterCase;
        bytes = -1;
    } else {
        return false;
    }
    found.entryPoint = std::string(wanted);
    found.exported = std::string(exported);
    found.argumentBytes = sized ? bytes : -1;
    return true;
}

}  // namespace

std::vector<DecoratedExport> FindDecoratedExports(const std::vector<std::string>& exports,
                                                  const std::vector<std::string>& wanted) {
    const std::set<std::string> bare(exports.begin(), exports.end());
    std::vector<DecoratedExport> found;
    for (const std::string& name : wanted) {
        if (bare.count(name)) continue;
        for (const std::string& exported : exports) {
            DecoratedExport decorated;
            if (Decorates(exported, name, decorated)) found.push_back(std::move(decorated));
        }
    }
    return found;
}

std::string DescribeDecoration(const DecoratedExport& found) {
    switch (found.decoration) {
        case Decoration::Stdcall:
            return found.exported + " is " + found.entryPoint + " under its stdcall decoration";
        case Decoration::Fastcall:
            return found.exported + " is " + found.entryPoint + " declared fastcall, not stdcall (VELMORA_CALL)";
        case Decoration::CppName:
            return found.exported + " is " + found.entryPoint + " under its C++ name";
        case Decoration::LetterCase:
            return found.exported + " is " + found.entryPoint + " in other letters: names are case-sensitive";
    }
    return {};
}

std::string HowToExportBareNames(Decoration decoration) {
    switch (decoration) {
        case Decoration::Stdcall:
        case Decoration::Fastcall:
            return "define it with VELMORA_CALL and export the bare name: link with -Wl,--kill-at (mingw) or "
                   "list the names in a .def file (EXPORTS GetServerTypeID ...)";
        case Decoration::CppName:
            return "declare the entry points extern \"C\": include <velmora/plugin.h> and define them with "
                   "VELMORA_PLUGIN_EXPORT";
        case Decoration::LetterCase:
            return "export it under its exact name";
    }
    return {};
}

}  // namespace velmora::tools
