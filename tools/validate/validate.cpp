// velmora-validate: checks plug-in files against the plug-in contract, the way the library
// loads and drives them, each check in a helper process (see usage.txt, and "Before you
// ship" in docs/plugin-guide.md).
#include "check.h"
#include "core/build_info.h"
#include "helper_process.h"
#include "output.h"
#include "platform/process.h"
#include "supervisor.h"
#include "terminal_text.h"
#include "usage.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace velmora::validate {
namespace {

struct Options {
    int level = 3;
    std::string json, junit;
    bool list = false, inProcess = false;
    std::vector<std::string> only, files;
};

// An empty text when the arguments make sense, else what is wrong with them.
std::string Parse(const std::vector<std::string>& arguments, Options& options) {
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        const auto value = [&](std::string& into) {
            if (i + 1 >= arguments.size()) return false;
            into = arguments[++i];
            return true;
        };
        std::string text;
        if (argument == "--level") {
            if (!value(text) || text.size() != 1 || text[0] < '1' || text[0] > '5') return "--level takes 1 to 5";
            options.level = text[0] - '0';
        } else if (argument == "--json" || argument == "--junit") {
            if (!value(argument == "--json" ? options.json : options.junit) ||
                (argument == "--json" ? options.json : options.junit).empty())
                return argument + " takes a file";
        } else if (argument == "--only") {
            if (!value(text)) return "--only takes a check's name";
            if (!FindCheck(text)) return "no check is named " + text + " (see --list)";
            options.only.push_back(text);
        } else if (argument == "--list") {
            options.list = true;
        } else if (argument == "--in-process") {
            options.inProcess = true;
        } else if (argument.size() > 1 && argument[0] == '-' && argument != "-") {
            return "unknown option " + argument;
        } else {
            options.files.push_back(argument);
        }
    }
    if (options.files.empty() && !options.list) return "no plug-in file given";
    if (options.junit == "-") return "--junit takes a file";
    return {};
}

void List() {
    std::printf("velmora-validate %s (%s): %d checks, in the order they run; --level N runs those of level N\n"
                "and below. A per-server call for a server never added must answer within 1 s, and is stuck\n"
                "after 5 s; a discovery or life-cycle call may take 20 s.\n",
                kLibraryVersion, kBuildName, int(AllChecks().size()));
    for (const CheckInfo& check : AllChecks()) std::printf("  %d  %-19s  %s\n", check.level, check.name, check.what);
}

bool WriteFile(const std::string& file, const std::string& text) {
    if (file != "-") return platform::ReplaceFileAtomically(file, text);
    return std::fwrite(text.data(), 1, text.size(), stdout) == text.size() && std::fflush(stdout) == 0;
}

}  // namespace
}  // namespace velmora::validate

int main(int argc, char** argv) {
    using namespace velmora;
    using namespace velmora::validate;
    if (HelperChannel::IsHelper(argc, argv)) return RunAsHelper(argc, argv);
    tools::PrepareUtf8Output();
    const std::vector<std::string> arguments = tools::ProgramArguments(argc, argv);
    for (const std::string& argument : arguments) {
        if (argument == "--help") {
            std::fputs(tools::kUsage, stdout);
            return 0;
        }
        if (argument == "--version") {
            std::printf("velmora-validate %s (%s)\n", kLibraryVersion, kBuildName);
            return 0;
        }
    }
    Options options;
    const std::string problem = Parse(arguments, options);
    if (!problem.empty()) {
        std::fprintf(stderr, "velmora-validate: %s\n%s", problem.c_str(), tools::kUsage);
        return 2;
    }
    if (options.list) {
        List();
        return 0;
    }

    std::vector<const CheckInfo*> checks;
    for (const CheckInfo& check : AllChecks()) {
        const bool named = std::find(options.only.begin(), options.only.end(), check.name) != options.only.end();
        if (options.only.empty() ? check.level <= options.level : named) checks.push_back(&check);
    }
    Output output(options.json == "-" ? stderr : stdout);
    for (const std::string& file : options.files) {
        output.BeginFile(file, options.level, checks.size(), options.inProcess);
        if (options.inProcess) {
            CheckContext context(file, options.level);
            Plan plan;
            RunChecks(context, checks, output, plan, false);
        } else {
            RunInHelpers(file, options.level, checks, output);
        }
        output.EndFile();
    }
    bool written = true;
    for (const auto& [file, text] : {std::pair{options.json, output.Json()}, std::pair{options.junit, output.JUnit()}}) {
        if (file.empty() || WriteFile(file, text)) continue;
        std::fprintf(stderr, "velmora-validate: cannot write %s\n", file.c_str());
        written = false;
    }
    return output.anyFailed() || !written ? 1 : 0;
}
