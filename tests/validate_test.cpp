// velmora-validate, run as a program over its gallery (tests/fixtures/gallery.cpp): each
// plug-in wrong in one way fails the check made for it, naming the entry point, and no
// other; the right one and the sample pass at level 5; nothing ends or stalls the run. Also
// the pieces it is made of: the file reader shared with the probe, the decorated names, and
// the lines of its helper processes.
#include "binary_image.h"
#include "export_names.h"
#include "json_reader.h"
#include "protocol.h"
#include "supervisor.h"
#include "test_support.h"

#include "core/candidate_screening.h"
#include "platform/process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <iostream>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace velmora {
namespace {

using test::Json;
using test::JsonReader;

const std::string kExtension = platform::kPluginExtension;
#if defined(_WIN32) && !defined(_WIN64)
constexpr bool k32BitBuild = true;
#else
constexpr bool k32BitBuild = false;
#endif

std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

test::ToolRun RunValidate(const std::vector<std::string>& arguments) {
    return test::RunTool(VELMORA_VALIDATE_FILE, arguments);
}

// Its report as JSON, through a file: standard output keeps the lines for people.
Json ValidateReport(std::vector<std::string> arguments, int& status) {
    const std::string file = test::ExecutableDirectory() + "validate-report.json";
    platform::RemoveFile(file);
    arguments.insert(arguments.begin(), {"--json", file});
    status = RunValidate(arguments).status;
    std::string text;
    return platform::ReadWholeFile(file, text) ? JsonReader::Read(text) : Json{};
}

std::string GalleryFile(const std::string& file) { return test::PluginFile("gallery", file); }
std::string Gallery(const std::string& flaw) { return GalleryFile("QXDVRGallery_" + flaw + kExtension); }
const std::string kSample = test::PluginFile("sample", "QXDVRSample" + kExtension);

// ---- What each plug-in of the gallery must make the validator say.

struct Flaw {
    std::string file;
    std::string check;       // the check made for the flaw
    std::string entryPoint;  // the one it names; empty: none
    std::string detail;      // a part of what it says
    std::set<std::string> consequences = {};  // checks that fail because of it too
};

std::vector<Flaw> Flaws() {
    std::vector<Flaw> flaws = {
        {GalleryFile("QXDVRGallery_BadExtension" + Upper(kExtension)), "file-name", "", "is not " + kExtension},
        {GalleryFile("Gallery_BadName" + kExtension), "file-name", "", "does not start with QXDVR"},
        {Gallery("WRONG_MACHINE"), "file-form", "", k32BitBuild ? "64-bit x86-64" : "32-bit x86", {"discovery"}},
        {Gallery("MISSING_IMPORT"), "file-imports", "", "GalleryAbsent", {"discovery"}},
        {Gallery("NO_TYPE_ID"), "export-names", "GetServerTypeID", "exports no GetServerTypeID", {"discovery"}},
        {Gallery("MANGLED"), "export-names", "GetServerTypeID", "_Z15GetServerTypeIDv is GetServerTypeID under its C++ name",
         {"discovery"}},
        {Gallery("UNSTABLE_TYPE_ID"), "discovery", "GetServerTypeID", "77, 77 and 78"},
        {Gallery("TYPE_NAME_OVERFLOW"), "type-name", "GetServerTypeName", "10 past a capacity of 51"},
        {Gallery("TYPE_NAME_UNTERMINATED"), "type-name", "GetServerTypeName", "no terminating zero"},
        {Gallery("TYPE_NAME_WRONG_ANSWER"), "type-name", "GetServerTypeName", "answered 12"},
        {Gallery("KEEPS_PATH"), "set-path", "SetPath", "InitDLL faulted once SetPath's text was made unreadable"},
        {Gallery("FAULT_UNKNOWN_SERVER"), "unknown-server", "GetServerInfo", "a fault for server"},
        {Gallery("SUCCESS_UNKNOWN_SERVER"), "unknown-server", "PTZControl", "answered 1, success"},
        {Gallery("SLOW_UNKNOWN_SERVER"), "unknown-server", "GetChannelInfo", "the limit is 1 s"},
        {Gallery("HANG_UNKNOWN_SERVER"), "unknown-server", "StartGetVideoData", "no answer within 5 s"},
        {Gallery("EXIT_UNKNOWN_SERVER"), "unknown-server", "StopGetVideoData", "exited with status 3"},
        {Gallery("THREAD_AFTER_DEINIT"), "lifecycle", "DeInitDLL", "still run 1 s after DeInitDLL"},
        {Gallery("LEAKS_HANDLES"), "lifecycle-resources", "InitClient", "handles grow with every cycle"},
        {Gallery("LEAKS_MEMORY"), "lifecycle-resources", "InitDLL", "memory grows with every cycle"},
        {Gallery("THREAD_BOUND"), "threads", "GetServerInfo", "from a thread other than the one that called InitDLL"},
        {Gallery("NOT_REENTRANT"), "threads", "PTZControl", "from two threads at once"},
    };
    if (k32BitBuild) {
        const std::vector<Flaw> only32 = {
            {Gallery("DECORATED"), "export-names", "GetServerTypeID", "GetServerTypeID@0 is GetServerTypeID", {"discovery"}},
            {Gallery("DECORATED_MSVC"), "export-names", "GetServerTypeID", "_GetServerTypeID@0 is GetServerTypeID",
             {"discovery"}},
            {Gallery("DECORATED_ARITY"), "export-names", "StartPlay", "says 20 bytes of arguments where a host passes 24",
             {"discovery"}},
            {Gallery("CDECL"), "calling-convention", "PTZControl", "it is cdecl"},
            {Gallery("WRONG_ARITY"), "calling-convention", "StartPlay", "declared with 5 argument words, the contract has 6"},
            {Gallery("CDECL_CALLBACK"), "message-callback", "SetSvMsgCallBack", "AddServer"},
        };
        flaws.insert(flaws.end(), only32.begin(), only32.end());
    }
    return flaws;
}

// ---- One run of the validator over the whole gallery, shared by the tests below.

struct GalleryRun {
    test::ToolRun run;
    double seconds = 0;
    Json report;
    std::string junit;
    std::map<std::string, const Json*> byFile;  // the report of each file
};

const GalleryRun& RunOverGallery() {
    static const GalleryRun gallery = [] {
        GalleryRun result;
        const std::string json = test::ExecutableDirectory() + "validate-gallery.json";
        const std::string junit = test::ExecutableDirectory() + "validate-gallery.xml";
        std::vector<std::string> arguments = {"--level", "5", "--json", json, "--junit", junit,
                                              Gallery("Good"), kSample};
        for (const Flaw& flaw : Flaws()) arguments.push_back(flaw.file);
        const auto start = std::chrono::steady_clock::now();
        result.run = RunValidate(arguments);
        result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::string text;
        if (platform::ReadWholeFile(json, text)) result.report = JsonReader::Read(text);
        platform::ReadWholeFile(junit, result.junit);
        return result;
    }();
    return gallery;
}

const Json& ReportOf(const Json& report, const std::string& file) {
    for (const Json& plugin : report["plugins"].items)
        if (plugin["file"].text == file) return plugin;
    throw std::runtime_error("no report of " + file);
}

// The failed findings of a file's report, by check.
std::map<std::string, std::vector<const Json*>> Failures(const Json& plugin) {
    std::map<std::string, std::vector<const Json*>> failures;
    for (const Json& check : plugin["checks"].items)
        if (check["result"].text == "fail") failures[check["name"].text].push_back(&check);
    return failures;
}

std::string Names(const std::map<std::string, std::vector<const Json*>>& failures) {
    std::string names;
    for (const auto& [check, findings] : failures) names += check + " ";
    return names;
}

std::size_t ChecksOf(const Json& plugin) {
    std::set<std::string> names;
    for (const Json& check : plugin["checks"].items) names.insert(check["name"].text);
    return names.size();
}

constexpr std::size_t kAllChecks = 13;

TEST(ValidateGallery, EachFlawFailsTheCheckMadeForItNamingTheEntryPoint) {
    const GalleryRun& gallery = RunOverGallery();
    ASSERT_EQ(gallery.report.kind, Json::Kind::Object) << gallery.run.output;
    for (const Flaw& flaw : Flaws()) {
        SCOPED_TRACE(flaw.file);
        const auto failures = Failures(ReportOf(gallery.report, flaw.file));
        std::set<std::string> failed, expected = flaw.consequences;
        for (const auto& [check, findings] : failures) failed.insert(check);
        expected.insert(flaw.check);
        EXPECT_EQ(failed, expected) << Names(failures) << "\n" << gallery.run.output;
        if (!failures.count(flaw.check)) continue;
        const auto& findings = failures.at(flaw.check);
        const bool named = std::any_of(findings.begin(), findings.end(), [&](const Json* finding) {
            const Json& entryPoint = (*finding)["entry_point"];
            return (flaw.entryPoint.empty() ? entryPoint.kind == Json::Kind::Null : entryPoint.text == flaw.entryPoint) &&
                   (*finding)["detail"].text.find(flaw.detail) != std::string::npos;
        });
        EXPECT_TRUE(named) << flaw.check << " names no " << (flaw.entryPoint.empty() ? "null" : flaw.entryPoint)
                           << " saying \"" << flaw.detail << "\"\n"
                           << gallery.run.output;
    }
}

TEST(ValidateGallery, TheRightPluginAndTheSamplePassEveryCheckAtLevel5) {
    const GalleryRun& gallery = RunOverGallery();
    for (const std::string& file : {Gallery("Good"), kSample}) {
        SCOPED_TRACE(file);
        const Json& plugin = ReportOf(gallery.report, file);
        EXPECT_EQ(Names(Failures(plugin)), "") << gallery.run.output;
        EXPECT_EQ(ChecksOf(plugin), kAllChecks);
        for (const Json& check : plugin["checks"].items) {
            // Only what does not apply to the plug-in or the build is skipped.
            if (check["result"].text != "skip") continue;
            const std::string name = check["name"].text;
            const bool applies = name == "calling-convention" ? k32BitBuild : name != "type-name" || file != kSample;
            EXPECT_FALSE(applies) << name << ": " << check["detail"].text;
        }
    }
}

// Generous: the gallery takes a fraction of this on the slowest build, the 32-bit one under Wine.
constexpr double kGalleryBudgetSeconds = 240;

TEST(ValidateGallery, SurvivesEveryPluginWithinItsTimeBudget) {
    const GalleryRun& gallery = RunOverGallery();
    EXPECT_EQ(gallery.run.status, 1);
    EXPECT_LT(gallery.seconds, kGalleryBudgetSeconds);
    // Every file got a verdict on every check, whatever its plug-in did to the helpers.
    EXPECT_EQ(gallery.report["plugins"].items.size(), Flaws().size() + 2);
    for (const Json& plugin : gallery.report["plugins"].items) {
        SCOPED_TRACE(plugin["file"].text);
        EXPECT_EQ(ChecksOf(plugin), kAllChecks);
    }
    std::cout << "[ gallery  ] " << Flaws().size() + 2 << " plug-ins at level 5 in " << gallery.seconds << " s\n";
}

TEST(ValidateGallery, JUnitHasOneTestCasePerCheck) {
    const GalleryRun& gallery = RunOverGallery();
    const auto count = [&](const std::string& what) {
        std::size_t found = 0;
        for (auto at = gallery.junit.find(what); at != std::string::npos; at = gallery.junit.find(what, at + 1)) ++found;
        return found;
    };
    std::size_t failed = 0;
    for (const Json& plugin : gallery.report["plugins"].items) failed += Failures(plugin).size();
    EXPECT_EQ(count("<testsuite "), Flaws().size() + 2);
    EXPECT_EQ(count("<testcase "), (Flaws().size() + 2) * kAllChecks);
    EXPECT_EQ(count("<failure "), failed);
    EXPECT_NE(gallery.junit.find("<testsuites name=\"velmora-validate\" tests=\"" +
                                 std::to_string((Flaws().size() + 2) * kAllChecks) + "\" failures=\"" +
                                 std::to_string(failed) + "\""),
              std::string::npos)
        << gallery.junit.substr(0, 300);
}

// ---- The program.

TEST(ValidateProgram, RunsTheChecksInItsOwnProcessAlikeWhenAsked) {
    // Plug-ins that neither end nor stall the process running them, nor spoil it for later checks.
    const std::vector<std::string> flaws = {"NO_TYPE_ID", "TYPE_NAME_WRONG_ANSWER", "FAULT_UNKNOWN_SERVER",
                                            "SUCCESS_UNKNOWN_SERVER", "THREAD_BOUND"};
    std::vector<std::string> files = {Gallery("Good")};
    for (const std::string& flaw : flaws) files.push_back(Gallery(flaw));
    std::vector<std::string> arguments = {"--in-process", "--level", "5"};
    arguments.insert(arguments.end(), files.begin(), files.end());
    int status = 0;
    const Json report = ValidateReport(arguments, status);
    EXPECT_EQ(status, 1);
    const Json& helpers = RunOverGallery().report;
    for (const std::string& file : files) {
        SCOPED_TRACE(file);
        EXPECT_EQ(Names(Failures(ReportOf(report, file))), Names(Failures(ReportOf(helpers, file))));
    }
}

TEST(ValidateProgram, LevelsAndOnlyChooseTheChecks) {
    const struct {
        std::vector<std::string> arguments;
        std::vector<std::string> checks;
    } cases[] = {
        {{"--level", "1"}, {"file-name", "file-form", "file-imports", "export-names"}},
        {{"--level", "2"}, {"file-name", "file-form", "file-imports", "export-names", "discovery", "type-name"}},
        {{"--only", "threads"}, {"threads"}},
        {{"--level", "1", "--only", "type-name", "--only", "file-form"}, {"file-form", "type-name"}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> arguments = c.arguments;
        arguments.push_back(Gallery("Good"));
        int status = 0;
        const Json report = ValidateReport(arguments, status);
        EXPECT_EQ(status, 0);
        std::vector<std::string> checks;
        for (const Json& check : ReportOf(report, Gallery("Good"))["checks"].items)
            checks.push_back(check["name"].text);
        EXPECT_EQ(checks, c.checks);
    }
}

TEST(ValidateProgram, UsageErrorsExitWithStatus2) {
    const std::vector<std::vector<std::string>> wrong = {
        {}, {"--level"}, {"--level", "0", "x"}, {"--level", "6", "x"}, {"--level", "three", "x"}, {"--json"},
        {"--only", "no-such-check", "x"}, {"--junit", "-", "x"}, {"--bogus", "x"}, {"--in-process"}};
    for (const auto& arguments : wrong) EXPECT_EQ(RunValidate(arguments).status, 2) << ::testing::PrintToString(arguments);
    EXPECT_EQ(RunValidate({"--help"}).status, 0);
    EXPECT_NE(RunValidate({"--version"}).output.find("velmora-validate " VELMORA_TEST_VERSION), std::string::npos);
}

TEST(ValidateProgram, ListsEveryCheckWithItsLevel) {
    const test::ToolRun run = RunValidate({"--list"});
    EXPECT_EQ(run.status, 0);
    for (const char* line : {"  1  file-name ", "  1  export-names ", "  2  discovery ", "  3  calling-convention ",
                             "  3  unknown-server ", "  4  threads ", "  4  lifecycle-resources "})
        EXPECT_NE(run.output.find(line), std::string::npos) << line << "\n" << run.output;
}

TEST(ValidateProgram, AFileThatCannotBeExaminedFails) {
    int status = 0;
    const Json report = ValidateReport({"--level", "2", GalleryFile("QXDVRNoSuchFile" + kExtension)}, status);
    EXPECT_EQ(status, 1);
    const auto failures = Failures(ReportOf(report, GalleryFile("QXDVRNoSuchFile" + kExtension)));
    EXPECT_EQ(Names(failures), "discovery file-form ");
}

// ---- The probe says how a decorated GetServerTypeID comes about.

TEST(ProbeProgram, NamesAGetServerTypeIDExportedUnderAnotherNameAndTheFix) {
    std::map<std::string, std::string> expected = {{"QXDVRGallery_MANGLED" + kExtension, "_Z15GetServerTypeIDv"},
                                                   {"QXDVRGallery_NO_TYPE_ID" + kExtension, ""}};
    if (k32BitBuild) {
        expected["QXDVRGallery_DECORATED" + kExtension] = "GetServerTypeID@0";
        expected["QXDVRGallery_DECORATED_MSVC" + kExtension] = "_GetServerTypeID@0";
    }
    const Json report = JsonReader::Read(test::RunTool(VELMORA_PROBE_FILE, {"--json", test::PluginDirectory("gallery")}).output);
    std::map<std::string, std::string> found;
    for (const Json& candidate : report["candidates"].items) {
        const std::string name = candidate["name"].text;
        if (!expected.count(name)) continue;
        EXPECT_EQ(candidate["reason"].text, "no-GetServerTypeID");
        found[name] = candidate.Has("decoratedName") ? candidate["decoratedName"].text : "";
        const std::string& detail = candidate["detail"].text;
        if (!found[name].empty()) {
            EXPECT_NE(detail.find(found[name] == "_Z15GetServerTypeIDv" ? "extern \"C\"" : "--kill-at"), std::string::npos)
                << detail;
        }
    }
    EXPECT_EQ(found, expected);
}

// ---- The file reader, over real files and damaged ones.

TEST(BinaryImage, ReadsThePluginsOfThisBuild) {
    const tools::BinaryImage image = tools::ReadBinaryImageFile(Gallery("Good"));
    EXPECT_EQ(image.problem, "");
    EXPECT_EQ(image.format, tools::ThisBuildFormat());
    EXPECT_EQ(image.architecture, tools::ThisBuildArchitecture());
    EXPECT_EQ(image.bits, tools::ThisBuildBits());
    EXPECT_TRUE(image.library);
    for (const char* name : {"GetServerTypeID", "PTZControl", "GetServerTypeName"})
        EXPECT_NE(std::find(image.exports.begin(), image.exports.end(), name), image.exports.end()) << name;
    EXPECT_FALSE(image.imports.empty());

    const tools::BinaryImage foreign = tools::ReadBinaryImageFile(Gallery("WRONG_MACHINE"));
    EXPECT_EQ(foreign.format, tools::ThisBuildFormat());
    EXPECT_EQ(foreign.bits, k32BitBuild ? 64 : 32);

    const tools::BinaryImage importing = tools::ReadBinaryImageFile(Gallery("MISSING_IMPORT"));
    EXPECT_NE(std::find(importing.imports.begin(), importing.imports.end(), "GalleryAbsent" + kExtension),
              importing.imports.end());
#if !defined(_WIN32)
    EXPECT_EQ(importing.runPaths, std::vector<std::string>{"$ORIGIN"});
#endif
}

TEST(BinaryImage, ATruncatedOrDamagedFileIsAProblemNeverACrash) {
    std::string whole;
    ASSERT_TRUE(platform::ReadWholeFile(Gallery("Good"), whole));
    // Every cut short of the headers and tables, and a run of damaged bytes at every place.
    for (std::size_t length = 0; length < whole.size(); length += 1 + length / 8) {
        const tools::BinaryImage image = tools::ReadBinaryImage(std::string_view(whole).substr(0, length));
        if (length < 64) {
            EXPECT_NE(image.problem, "") << length;
        }
    }
    const auto damage = [&](std::size_t at) {
        for (std::size_t i = at; i < at + 8; ++i) whole[i] = static_cast<char>(whole[i] ^ 0xFF);
    };
    for (std::size_t at = 0; at + 8 <= whole.size() && at < 65536; at += 5) {
        damage(at);
        tools::ReadBinaryImage(whole);
        damage(at);
    }
    const struct {
        const char* what;
        std::string bytes;
    } hostile[] = {
        {"empty", ""},
        {"no header", "MZ"},
        {"PE header beyond the end", std::string("MZ") + std::string(0x3A, '\0') + "\xFF\xFF\xFF\x7F"},
        {"ELF without class", std::string("\x7F" "ELF", 4)},
        {"ELF with its section table beyond the end",
         std::string("\x7F" "ELF\x02\x01", 6) + std::string(34, '\0') + std::string("\xF0\xFF\xFF\xFF\xFF\xFF\xFF\x7F", 8) +
             std::string(10, '\0') + std::string("\x40\x00\xFF\xFF", 4) + std::string(2, '\0')},
        {"text", "not a library\n"},
    };
    for (const auto& h : hostile) EXPECT_NE(tools::ReadBinaryImage(h.bytes).problem, "") << h.what;
}

TEST(ExportNames, FindsEveryDecorationOfAMissingBareName) {
    const std::vector<std::string> wanted = {"GetServerTypeID", "PTZControl", "StartPlay"};
    const struct {
        std::vector<std::string> exports;
        std::vector<std::pair<std::string, int>> found;  // exported name, argument bytes
    } cases[] = {
        {{"GetServerTypeID", "PTZControl", "StartPlay"}, {}},
        {{"GetServerTypeID@0", "PTZControl@20"}, {{"GetServerTypeID@0", 0}, {"PTZControl@20", 20}}},
        {{"_GetServerTypeID@0", "_StartPlay@20"}, {{"_GetServerTypeID@0", 0}, {"_StartPlay@20", 20}}},
        {{"@PTZControl@20"}, {{"@PTZControl@20", 20}}},
        {{"_Z15GetServerTypeIDv", "_ZN6vendor10PTZControlEiiiii", "?StartPlay@@YGHHHHHHH@Z"},
         {{"_Z15GetServerTypeIDv", -1}, {"_ZN6vendor10PTZControlEiiiii", -1}, {"?StartPlay@@YGHHHHHHH@Z", -1}}},
        {{"_Z15GetServerTypeIDv@0"}, {{"_Z15GetServerTypeIDv@0", 0}}},
        {{"getservertypeid", "PTZCONTROL"}, {{"getservertypeid", -1}, {"PTZCONTROL", -1}}},
        // A decorated alias beside the bare name harms nothing; near misses are no decoration.
        {{"GetServerTypeID", "GetServerTypeID@0", "PTZControlEx@20", "_Z3fooPTZControl", "StartPlay@x"}, {}},
    };
    for (const auto& c : cases) {
        std::vector<std::pair<std::string, int>> found;
        for (const auto& decorated : tools::FindDecoratedExports(c.exports, wanted))
            found.emplace_back(decorated.exported, decorated.argumentBytes);
        EXPECT_EQ(found, c.found) << ::testing::PrintToString(c.exports);
    }
}

// ---- The lines of a helper process: read as untrusted text.

TEST(ReportLine, ParsesWhatAHelperWritesAndRefusesTheRest) {
    std::vector<std::string> written;
    validate::LineSink sink([&](const std::string& line) {
        written.push_back(line);
        return true;
    });
    sink.Started();
    sink.BeginCheck("discovery");
    sink.Step("SetPath", "SetPath with \"a\nb\"", 20000);
    sink.Avoid("SetPath");
    sink.Report({"discovery", validate::Outcome::Fail, "GetServerTypeID", "line\nbreak and spaces"});
    sink.EndCheck();
    sink.Finished(true);
    using Kind = validate::ReportLine::Kind;
    const std::vector<Kind> kinds = {Kind::Started, Kind::Begin, Kind::Step, Kind::Avoid, Kind::Result, Kind::End, Kind::Done};
    ASSERT_EQ(written.size(), kinds.size());
    for (std::size_t i = 0; i < written.size(); ++i) {
        validate::ReportLine parsed;
        ASSERT_TRUE(validate::ParseReportLine(written[i], parsed)) << written[i];
        EXPECT_EQ(parsed.kind, kinds[i]) << written[i];
        EXPECT_EQ(written[i].find('\n'), std::string::npos);
    }
    validate::ReportLine step, result;
    validate::ParseReportLine(written[2], step);
    validate::ParseReportLine(written[4], result);
    EXPECT_EQ(step.text, "SetPath with \"a\nb\"");
    EXPECT_EQ(step.limitMs, 20000);
    EXPECT_EQ(result.text, "line\nbreak and spaces");

    const std::vector<std::string> nonsense = {
        "", " ", "H ", "Z", "C", "C no-such-check", "C discovery extra", "S 20000 SetPath", "S 0 SetPath x41",
        "S -5 SetPath x41", "S 99999999 SetPath x41", "S 100 NoSuchEntry x41", "S 100 SetPath 41", "S 100 SetPath x4",
        "S 100 SetPath xZZ", "R maybe - x", "R pass NoSuchEntry x", "R fail - x1", "A -", "A NoSuchEntry", "E extra",
        "R  fail - x", "Q\r"};
    for (const std::string& line : nonsense) {
        validate::ReportLine parsed;
        EXPECT_FALSE(validate::ParseReportLine(line, parsed)) << '"' << line << '"';
    }
}

// What the validator makes of a helper's lines, whatever the helper says: a script in
// place of the process.
class Script final : public validate::ReportSource {
public:
    Script(std::vector<std::string> lines, Read end) : lines_(std::move(lines)), end_(end) {}
    Read NextLine(std::string& line, validate::Clock::time_point) override {
        if (next_ == lines_.size()) return end_;
        line = lines_[next_++];
        return Read::Line;
    }
    std::string End(bool) override { return "exited with status 3"; }

private:
    std::vector<std::string> lines_;
    std::size_t next_ = 0;
    Read end_;
};

class Collected final : public validate::FindingSink {
public:
    void BeginCheck(const std::string&) override {}
    void Step(const std::string&, const std::string&, int) override {}
    void Report(const validate::Finding& finding) override {
        findings.push_back(finding.check + " " + validate::OutcomeWord(finding.outcome) + " " +
                           (finding.entryPoint.empty() ? "-" : finding.entryPoint) + " " + finding.detail);
    }
    void Avoid(const std::string&) override {}
    void EndCheck() override {}
    std::vector<std::string> findings;
};

TEST(ReportLine, WhatAHelperSaysOutOfTurnOrUnsaidFailsTheCheckNeverPassesIt) {
    using Read = validate::ReportSource::Read;
    const std::string text = EncodeText("said");
    const std::string nonsense = "the helper process said what makes no sense";
    const struct {
        const char* what;
        std::vector<std::string> lines;
        Read end;
        std::vector<std::string> findings;  // each the start of one
        std::size_t next;
    } cases[] = {
        {"a whole run", {"H", "C discovery", "R pass - " + text, "E", "C type-name", "R skip - " + text, "E", "Q"},
         Read::Ended, {"discovery pass - said", "type-name skip - said"}, 2},
        {"a fresh helper asked for", {"H", "C discovery", "R fail GetServerTypeID " + text, "E", "X"}, Read::Ended,
         {"discovery fail GetServerTypeID said"}, 1},
        {"a pass forged after a failure", {"H", "C discovery", "R fail GetServerTypeID " + text, "R pass - " + text},
         Read::Ended, {"discovery fail GetServerTypeID said", "discovery fail - " + nonsense}, 1},
        {"a check out of turn", {"H", "C type-name"}, Read::Ended, {"discovery fail - " + nonsense}, 1},
        {"a check ended without a finding", {"H", "C discovery", "E"}, Read::Ended, {"discovery fail - " + nonsense}, 1},
        {"the end announced too early", {"H", "C discovery", "R pass - " + text, "E", "Q"}, Read::Ended,
         {"discovery pass - said", "type-name fail - " + nonsense}, 2},
        {"a garbled line", {"H", "R pass"}, Read::Ended, {"discovery fail - " + nonsense}, 1},
        {"an overlong line", {"H"}, Read::Overlong, {"discovery fail - " + nonsense}, 1},
        {"an end before starting", {}, Read::Ended,
         {"discovery fail - the helper process exited with status 3 before it started"}, 1},
        {"an end in plug-in code", {"H", "C discovery", "S 20000 SetPath " + EncodeText("SetPath, valid")}, Read::Ended,
         {"discovery fail SetPath the helper process exited with status 3 in SetPath, valid"}, 1},
        {"last words", {"H", "C discovery", "S 20000 SetPath " + EncodeText("SetPath"), "D aborted"}, Read::Ended,
         {"discovery fail SetPath the helper process aborted in SetPath"}, 1},
        {"a stall", {"H", "C discovery", "S 5000 PTZControl " + EncodeText("PTZControl")}, Read::TimedOut,
         {"discovery fail PTZControl no answer within 5 s in PTZControl"}, 1},
    };
    const std::vector<const validate::CheckInfo*> checks = {validate::FindCheck("discovery"),
                                                           validate::FindCheck("type-name")};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Script script(c.lines, c.end);
        Collected collected;
        validate::Plan plan;
        EXPECT_EQ(validate::FollowHelper(script, checks, 0, collected, plan), c.next);
        ASSERT_EQ(collected.findings.size(), c.findings.size()) << ::testing::PrintToString(collected.findings);
        for (std::size_t i = 0; i < c.findings.size(); ++i)
            EXPECT_EQ(collected.findings[i].substr(0, c.findings[i].size()), c.findings[i]);
    }
}

}  // namespace
}  // namespace velmora
