// Every program shipped to users has a manual page made from the text of its --help: both
// list the same options, and the page names the version the program reports.
#include "test_support.h"

#include <gtest/gtest.h>

#include <cctype>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace velmora {
namespace {

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// The options --help lists: the first word of each line that starts with two spaces and a dash.
std::vector<std::string> HelpOptions(const std::string& help) {
    std::vector<std::string> options;
    for (const std::string& line : Lines(help))
        if (line.rfind("  -", 0) == 0) options.push_back(line.substr(2, line.find(' ', 2) - 2));
    return options;
}

// The options the page lists: the bold first word of each tagged paragraph that is one.
std::vector<std::string> PageOptions(const std::string& page) {
    std::vector<std::string> options;
    const std::vector<std::string> lines = Lines(page);
    for (std::size_t i = 1; i < lines.size(); ++i) {
        if (lines[i - 1] != ".TP" || lines[i].rfind("\\fB\\-", 0) != 0) continue;
        std::string option = lines[i].substr(3, lines[i].find("\\fR") - 3);
        for (std::size_t at; (at = option.find("\\-")) != std::string::npos;) option.erase(at, 1);
        options.push_back(option);
    }
    return options;
}

std::vector<std::string> ToolFiles() {
    std::vector<std::string> files;
    std::istringstream in(VELMORA_TOOL_FILES);
    for (std::string file; std::getline(in, file, '|');) files.push_back(file);
    return files;
}

class ManualPage : public testing::TestWithParam<std::string> {};

TEST_P(ManualPage, ListsTheOptionsOfHelpAndTheVersion) {
    const std::string file = GetParam();
    const std::string program = file.substr(0, file.rfind(".exe"));
    const char separator = platform::kPathSeparator;
    std::ifstream in(test::ExecutableDirectory() + ".." + separator + "man" + separator + "man1" + separator +
                     program + ".1");
    ASSERT_TRUE(in) << "no manual page for " << program;
    const std::string page{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};

    const test::ToolRun help = test::RunTool(file, {"--help"});
    EXPECT_EQ(help.status, 0);
    const std::vector<std::string> options = HelpOptions(help.output);
    EXPECT_FALSE(options.empty()) << help.output;
    EXPECT_EQ(PageOptions(page), options) << page;

    EXPECT_NE(page.find("\"Velmora " VELMORA_TEST_VERSION "\""), std::string::npos) << page;
    EXPECT_NE(test::RunTool(file, {"--version"}).output.find(" " VELMORA_TEST_VERSION " "), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Tools, ManualPage, testing::ValuesIn(ToolFiles()),
                         [](const testing::TestParamInfo<std::string>& info) {
                             std::string name = info.param.substr(0, info.param.rfind(".exe"));
                             for (char& c : name)
                                 if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                             return name;
                         });

}  // namespace
}  // namespace velmora
