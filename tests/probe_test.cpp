// velmora-probe, run as a program over the fixture folders: every entry is explained the
// way the fixture behaves. Also the scan observer it is built on, and the system's load
// error text it reports.
#include "core/server_types.h"
#include "json_reader.h"
#include "test_support.h"

#include "journal.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/stat.h>
#endif

namespace velmora {
namespace {

using test::ExecutableDirectory;
using test::Json;
using test::JsonReader;
using test::Journal;
using test::PluginDirectory;

const std::string kExtension = platform::kPluginExtension;

// ---- Running the probe.

test::ToolRun RunProbe(const std::vector<std::string>& arguments) {
    return test::RunTool(VELMORA_PROBE_FILE, arguments);
}

// ---- What each fixture should be explained as.

struct Expected {
    bool accepted = false;
    // Accepted:
    VelmoraInt typeId = 0;
    std::string displayName;  // UTF-8
    std::string displayNameCp936;
    std::vector<std::string> entryPoints;
    // Passed over:
    std::string reason;
    std::string call;
};

const std::string kName0 = u8"\u6d77\u5eb7\u5d4c\u5165\u5f0f";
const std::string kName1 = u8"\u6d77\u5eb7\u5361\u5f0fDVR";
const std::string kName2 = u8"\u4f17\u80fd\u8fbeDVS";
// What a recorder fixture exports; one that names its type exports GetServerTypeName too.
const std::vector<std::string> kAll = {
    "InitDLL", "DeInitDLL", "DeInitClient", "SetPath", "GetServerTypeID", "SetSvMsgCallBack", "GetHeader",
    "AddServer", "DelServer", "ChangeServer", "GetSvChInfo", "ChangeChannel", "GetChannelInfo", "GetServerInfo",
    "LoadPreInfo", "GoToPreset", "DelPreset", "SetPreset", "GetProtocolInfo", "InitClient", "PTZControl",
    "StartGetVideoData", "StopGetVideoData", "LoginServer", "GetCapFileList", "StartPlay", "StopPlay",
    "PlayCtrl", "StartCapture", "StopCapture"};
const std::vector<std::string> kAllAndName = [] {
    std::vector<std::string> all = kAll;
    all.push_back("GetServerTypeName");
    return all;
}();
const std::vector<std::string> kOnlyTypeId = {"GetServerTypeID"};
const std::vector<std::string> kTypeIdAndName = {"GetServerTypeID", "GetServerTypeName"};

// displayNameCp936 defaults to the built-in name of the type ID.
Expected Accepted(VelmoraInt typeId, const std::string& name, const std::vector<std::string>& entryPoints = kAll,
                  const std::string& nameCp936 = "") {
    Expected e;
    e.accepted = true;
    e.typeId = typeId;
    e.displayName = name;
    e.displayNameCp936 = nameCp936.empty() ? GetTypeDisplayName(typeId) : nameCp936;
    e.entryPoints = entryPoints;
    return e;
}

Expected PassedOver(const std::string& reason, const std::string& call = "") {
    Expected e;
    e.reason = reason;
    e.call = call;
    return e;
}

std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

// File name to explanation, for every entry of each fixture folder.
std::map<std::string, Expected> ExpectedIn(const std::string& folder) {
    const std::string upper = Upper(kExtension);
    const std::string mixed = upper.substr(0, 2) + kExtension.substr(2);
    std::map<std::string, Expected> e;
    if (folder == "types") {
        e["QXDVRType0" + kExtension] = Accepted(0, kName0, kAllAndName);
        e["QXDVRType1" + kExtension] = Accepted(1, kName1, kAllAndName);
        e["QXDVRType2" + kExtension] = Accepted(2, kName2, kAllAndName);
        e["QXDVRType3" + kExtension] = Accepted(3, "");
        e["QXDVRTypeMinus1" + kExtension] = Accepted(-1, "");
        e["QXDVRTypeOneAgain" + kExtension] = Accepted(1, kName1);
    } else if (folder == "faulty") {
        for (const char* kind : {"NULL_WRITE", "ILLEGAL_INSTRUCTION", "DIVIDE_BY_ZERO", "THROW", "ABORT"}) {
            e["QXDVRFaultTypeId_" + std::string(kind) + kExtension] =
                PassedOver("fault", "GetServerTypeID (first call)");
            e["QXDVRFaultSetPath_" + std::string(kind) + kExtension] = PassedOver("fault", "SetPath");
        }
        e["QXDVRGoodA" + kExtension] = Accepted(20, "");
        e["QXDVRGoodZ" + kExtension] = Accepted(21, "");
    } else if (folder == "mixed") {
        e["QXDVROnlyTypeId" + kExtension] = Accepted(30, "", kOnlyTypeId);
        e["QXDVRNoTypeId" + kExtension] = PassedOver("no-GetServerTypeID");
        // Answers 7 twice, then 2: the third answer counts.
        e["QXDVRChanging" + kExtension] = Accepted(2, kName2, kOnlyTypeId);
        e["QXDVR" + std::string(60 - 5 - kExtension.size(), 'L') + kExtension] = Accepted(31, "");
        e["QXDVRUpperExtension" + upper] = PassedOver("extension-not-lower-case");
        e["QXDVRMixedExtension" + mixed] = PassedOver("extension-not-lower-case");
        // The pattern ignores case, so a lower-case prefix is a plug-in all the same.
        e["qxdvrlowerprefix" + kExtension] = Accepted(34, "");
        e["OtherName" + kExtension] = PassedOver("name-not-matching");
        e["QXDVRFolder" + kExtension] = PassedOver("not-loadable");
        e["QXDVRText" + kExtension] = PassedOver("not-loadable");
    } else if (folder == "noplugin") {
        e["Helper" + kExtension] = PassedOver("name-not-matching");
        e["QXDVRNoPluginUpper" + upper] = PassedOver("extension-not-lower-case");
    } else if (folder == "registry") {
        e["QXDVRRegZero" + kExtension] = Accepted(0, kName0);
        e["QXDVRRegOne" + kExtension] = Accepted(1, kName1);
        e["QXDVRRegOneAgain" + kExtension] = Accepted(1, kName1);
        e["QXDVRRegBare" + kExtension] = Accepted(2, kName2, kOnlyTypeId);
    } else if (folder == "reentrant") {
        e["QXDVRReentrant" + kExtension] =
            Accepted(40, "", {"InitDLL", "DeInitDLL", "DeInitClient", "GetServerTypeID", "InitClient"});
        e["QXDVRReentrantPeer" + kExtension] = Accepted(41, "");
    } else if (folder == "named") {
        const auto named = [&](const std::string& naming, VelmoraInt typeId, const std::string& name,
                               const std::string& nameCp936) {
            e["QXDVRNamed_" + naming + kExtension] = Accepted(typeId, name, kTypeIdAndName, nameCp936);
        };
        named("CP936_NAME", 3, u8"\u5317\u8fb0\u7f51\u7edcNVR", "\xB1\xB1\xB3\xBD\xCD\xF8\xC2\xE7NVR");
        named("LONG_NAME", 4, std::string(30, 'L') + std::string(20, 'l'), std::string(30, 'L') + std::string(20, 'l'));
        named("SPLIT_NAME", 5, std::string(49, 'S'), std::string(49, 'S'));
        named("ZERO_ANSWER", 6, "", "");
        named("NEGATIVE_ANSWER", 7, "", "");
        named("SHORT_NAME", 8, "Short", "Short");
        named("UNTERMINATED", 9, std::string(50, 'O'), std::string(50, 'O'));
        named("TYPE_ZERO", 0, kName0, "");
        e["QXDVRNamed_NULL_WRITE" + kExtension] = PassedOver("fault", "GetServerTypeName");
    }
    return e;
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

std::vector<std::string> Strings(const Json& array) {
    std::vector<std::string> out;
    for (const Json& item : array.items) out.push_back(item.text);
    return out;
}

const std::vector<std::string> kFolders = {"types", "faulty", "mixed", "noplugin", "registry", "reentrant", "named"};

class Probe : public testing::TestWithParam<std::string> {};

TEST_P(Probe, ExplainsEveryEntryOfTheFixtureFolderAsTheFixtureBehaves) {
    const std::string folder = GetParam();
    const std::string directory = PluginDirectory(folder);
    const test::ToolRun run = RunProbe({"--json", directory});
    const Json report = JsonReader::Read(run.output);
    const std::map<std::string, Expected> expected = ExpectedIn(folder);
    ASSERT_FALSE(expected.empty());

    EXPECT_EQ(report["directory"].text, directory);
    EXPECT_EQ(report["pattern"].text, "QXDVR*" + kExtension);
    int accepted = 0;
    std::set<std::string> explained;
    for (const Json& candidate : report["candidates"].items) {
        const std::string name = candidate["name"].text;
        SCOPED_TRACE(name);
        EXPECT_TRUE(explained.insert(name).second) << "explained twice";
        const auto wanted = expected.find(name);
        ASSERT_NE(wanted, expected.end()) << "not a fixture of " << folder;
        const Expected& e = wanted->second;
        ASSERT_EQ(candidate["accepted"].boolean, e.accepted) << candidate["detail"].text;
        EXPECT_FALSE(candidate["detail"].text.empty());
        if (e.accepted) {
            ++accepted;
            EXPECT_EQ(candidate["typeId"].number, e.typeId);
            EXPECT_EQ(candidate["displayName"].text, e.displayName);
            EXPECT_EQ(candidate["displayNameCp936"].text, Hex(e.displayNameCp936));
            EXPECT_EQ(Strings(candidate["entryPoints"]), e.entryPoints);
            EXPECT_FALSE(candidate.Has("reason"));
        } else {
            EXPECT_EQ(candidate["reason"].text, e.reason);
            EXPECT_EQ(candidate.Has("call") ? candidate["call"].text : "", e.call);
            // The system's own words, which the detail repeats.
            EXPECT_EQ(candidate.Has("systemError"), e.reason == "not-loadable");
            if (candidate.Has("systemError")) {
                EXPECT_FALSE(candidate["systemError"].text.empty());
                EXPECT_NE(candidate["detail"].text.find(candidate["systemError"].text), std::string::npos);
            }
        }
    }
    EXPECT_EQ(explained.size(), expected.size());
    EXPECT_EQ(report["accepted"].number, accepted);
    EXPECT_EQ(run.status, accepted > 0 ? 0 : 1);
}

TEST_P(Probe, CandidatesComeInTheScanOrderAndAcceptedOnesAreTheTable) {
    const std::string directory = PluginDirectory(GetParam());
    const Json report = JsonReader::Read(RunProbe({"--json", directory}).output);
    std::vector<std::string> candidates;
    std::vector<std::pair<VelmoraInt, std::string>> accepted;
    for (const Json& candidate : report["candidates"].items) {
        if (candidate.Has("reason") && candidate["reason"].text == "name-not-matching") continue;
        candidates.push_back(candidate["name"].text);
        if (candidate["accepted"].boolean)
            accepted.emplace_back(static_cast<VelmoraInt>(candidate["typeId"].number),
                                  candidate["name"].text.substr(0, kRecordTextCapacity));
    }
    EXPECT_EQ(candidates, platform::FindMatchingEntries(directory + platform::kPathSeparator + "QXDVR*" + kExtension));
    std::vector<std::pair<VelmoraInt, std::string>> table;
    for (const auto& record : ScanPluginDirectory(directory, ""))
        table.emplace_back(record->typeId, std::string(record->fileName.View()));
    EXPECT_EQ(accepted, table);
}

INSTANTIATE_TEST_SUITE_P(FixtureFolders, Probe, testing::ValuesIn(kFolders));

TEST(ProbeProgram, PrintsOneReadableLinePerEntry) {
    const test::ToolRun run = RunProbe({PluginDirectory("mixed")});
    EXPECT_EQ(run.status, 0);
    const auto lineOf = [&](const std::string& name) {
        const auto at = run.output.find("  " + name + " ");
        return at == std::string::npos ? std::string{} : run.output.substr(at, run.output.find('\n', at) - at);
    };
    EXPECT_NE(lineOf("QXDVRChanging" + kExtension).find(u8"accepted: type ID 2, \u4f17\u80fd\u8fbeDVS, 1 of 31 entry points: GetServerTypeID"),
              std::string::npos);
    EXPECT_NE(lineOf("QXDVRNoTypeId" + kExtension).find("passed over: it exports no GetServerTypeID"), std::string::npos);
    EXPECT_NE(lineOf("QXDVRText" + kExtension).find("passed over: the system refused to load it: "), std::string::npos);
    EXPECT_NE(lineOf("OtherName" + kExtension).find("passed over: name does not match QXDVR*" + kExtension),
              std::string::npos);
    EXPECT_NE(lineOf("QXDVRUpperExtension" + Upper(kExtension)).find("passed over: extension"), std::string::npos);
    EXPECT_NE(run.output.find("4 plug-in(s) accepted, 6 passed over"), std::string::npos) << run.output;

    const test::ToolRun faulty = RunProbe({PluginDirectory("faulty")});
    EXPECT_NE(faulty.output.find("QXDVRFaultSetPath_THROW" + kExtension), std::string::npos);
    EXPECT_NE(faulty.output.find("passed over: a fault in SetPath"), std::string::npos) << faulty.output;
}

TEST(ProbeProgram, ShowsTheNameAPluginGivesItsTypeAndAFaultWhileNaming) {
    const test::ToolRun run = RunProbe({PluginDirectory("named")});
    const auto lineOf = [&](const std::string& naming) {
        const auto at = run.output.find("  QXDVRNamed_" + naming + kExtension + " ");
        return at == std::string::npos ? std::string{} : run.output.substr(at, run.output.find('\n', at) - at);
    };
    EXPECT_NE(lineOf("CP936_NAME").find(u8"accepted: type ID 3, \u5317\u8fb0\u7f51\u7edcNVR, 2 of 31 entry points: "
                                        "GetServerTypeID GetServerTypeName"),
              std::string::npos)
        << run.output;
    EXPECT_NE(lineOf("NULL_WRITE").find("passed over: a fault in GetServerTypeName"), std::string::npos) << run.output;
}

TEST(ProbeProgram, InitialisationListsTheTypesOfTheFirstFolderThatYieldsAPlugin) {
    const std::string directory = PluginDirectory("types");
    const test::ToolRun run = RunProbe({"--init", "--json", directory});
    EXPECT_EQ(run.status, 0);
    const Json report = JsonReader::Read(run.output);
    EXPECT_EQ(report["initResult"].number, 1);
    const std::vector<std::string> order = Strings(report["searchOrder"]);
    ASSERT_EQ(order.size(), 4u);
    EXPECT_EQ(order[0], directory);
    EXPECT_EQ(order[1], ExecutableDirectory());
    EXPECT_EQ(order[2], platform::SystemDirectory());
    EXPECT_EQ(order[3], platform::WindowsDirectory());
    std::vector<VelmoraInt> listed, table;
    for (const Json& type : report["types"].items) {
        listed.push_back(static_cast<VelmoraInt>(type["typeId"].number));
        EXPECT_EQ(type["displayNameCp936"].text, Hex(GetTypeDisplayName(listed.back())));
    }
    for (const auto& record : ScanPluginDirectory(directory, "")) table.push_back(record->typeId);
    EXPECT_EQ(listed, table);

    const test::ToolRun human = RunProbe({"--init", directory});
    EXPECT_NE(human.output.find(u8"type ID 0: \u6d77\u5eb7\u5d4c\u5165\u5f0f"), std::string::npos) << human.output;
}

TEST(ProbeProgram, ExitStatusSaysWhetherAPluginWasFound) {
    EXPECT_EQ(RunProbe({PluginDirectory("registry")}).status, 0);
    EXPECT_EQ(RunProbe({PluginDirectory("noplugin")}).status, 1);
    EXPECT_EQ(RunProbe({PluginDirectory("no-such-folder")}).status, 1);
    // Nothing in the fallback folders either.
    const test::ToolRun init = RunProbe({"--init", "--json", PluginDirectory("noplugin")});
    EXPECT_EQ(init.status, 1);
    EXPECT_TRUE(JsonReader::Read(init.output)["types"].items.empty());
    EXPECT_EQ(RunProbe({}).status, 2);
    EXPECT_EQ(RunProbe({"a", "b"}).status, 2);
}

TEST(ProbeProgram, NamesSpecialFilesWithoutOpeningThem) {
#if defined(_WIN32)
    GTEST_SKIP() << "Windows has no FIFOs, and its builds leave every candidate to the loader";
#else
    const test::SpecialFilesFolder folder;
    const Json report = JsonReader::Read(RunProbe({"--json", folder.path()}).output);
    std::map<std::string, std::string> kinds;
    for (const Json& candidate : report["candidates"].items)
        if (candidate.Has("reason") && candidate["reason"].text == "special-file")
            kinds[candidate["name"].text] = candidate["fileKind"].text;
    EXPECT_EQ(kinds, (std::map<std::string, std::string>{{"QXDVRFifo" + kExtension, "FIFO"},
                                                         {"QXDVRNull" + kExtension, "character device"},
                                                         {"QXDVRSocket" + kExtension, "socket"}}));
    EXPECT_EQ(report["accepted"].number, 1);

    const test::ToolRun human = RunProbe({folder.path()});
    const auto fifoLine = human.output.find("  QXDVRFifo" + kExtension + " ");
    ASSERT_NE(fifoLine, std::string::npos) << human.output;
    EXPECT_NE(human.output.substr(fifoLine, human.output.find('\n', fifoLine) - fifoLine)
                  .find("passed over: it is a FIFO, not a library file; not opened"),
              std::string::npos)
        << human.output;
    EXPECT_TRUE(folder.FifoUnread());
#endif
}

// ---- The observer the probe is built on.

TEST(ScanObserver, IsToldOfEveryListedEntryAndChangesNothing) {
    for (const std::string& folder : kFolders) {
        SCOPED_TRACE(folder);
        const std::string directory = PluginDirectory(folder);
        JournalClear();
        const ServerTypeTable plain = ScanPluginDirectory(directory, "path");
        const std::vector<std::string> plainCalls = Journal();

        JournalClear();
        std::vector<std::string> told;
        std::vector<ServerTypeRecordPtr> acceptedRecords;
        const ServerTypeTable observed =
            ScanPluginDirectory(directory, "path", [&](const std::string& name, const CandidateReport& report) {
                told.push_back(name);
                EXPECT_EQ(report.outcome == CandidateOutcome::Accepted, report.record != nullptr);
                if (report.record) acceptedRecords.push_back(report.record);
            });
        EXPECT_EQ(Journal(), plainCalls);
        EXPECT_EQ(told, platform::FindMatchingEntries(directory + platform::kPathSeparator + "QXDVR*" + kExtension));
        ASSERT_EQ(observed.size(), plain.size());
        ASSERT_EQ(acceptedRecords.size(), observed.size());
        for (std::size_t i = 0; i < observed.size(); ++i) {
            EXPECT_EQ(observed[i], acceptedRecords[i]);
            EXPECT_EQ(observed[i]->typeId, plain[i]->typeId);
            EXPECT_EQ(observed[i]->fileName.View(), plain[i]->fileName.View());
        }
    }
}

TEST(ScanObserver, NamesTheReasonOfEveryCandidatePassedOver) {
    std::map<std::string, CandidateReport> reports;
    ScanPluginDirectory(PluginDirectory("mixed"), "", [&](const std::string& name, const CandidateReport& report) {
        reports[name] = report;
    });
    EXPECT_EQ(reports.at("QXDVRNoTypeId" + kExtension).outcome, CandidateOutcome::NoGetServerTypeID);
    EXPECT_TRUE(reports.at("QXDVRNoTypeId" + kExtension).loadError.empty());
    EXPECT_EQ(reports.at("QXDVRText" + kExtension).outcome, CandidateOutcome::NotLoadable);
    EXPECT_FALSE(reports.at("QXDVRText" + kExtension).loadError.empty());
    EXPECT_EQ(reports.at("QXDVRUpperExtension" + Upper(kExtension)).outcome, CandidateOutcome::ExtensionNotLowerCase);
    EXPECT_EQ(reports.count("OtherName" + kExtension), 0u);

    reports.clear();
    ScanPluginDirectory(PluginDirectory("faulty"), "", [&](const std::string& name, const CandidateReport& report) {
        reports[name] = report;
    });
    for (const char* kind : {"NULL_WRITE", "ILLEGAL_INSTRUCTION", "DIVIDE_BY_ZERO", "THROW", "ABORT"}) {
        const CandidateReport& typeId = reports.at("QXDVRFaultTypeId_" + std::string(kind) + kExtension);
        EXPECT_EQ(typeId.outcome, CandidateOutcome::Fault);
        EXPECT_STREQ(typeId.faultedCall, "GetServerTypeID (first call)");
        const CandidateReport& setPath = reports.at("QXDVRFaultSetPath_" + std::string(kind) + kExtension);
        EXPECT_EQ(setPath.outcome, CandidateOutcome::Fault);
        EXPECT_STREQ(setPath.faultedCall, "SetPath");
        EXPECT_EQ(setPath.record, nullptr);
    }
}

TEST(LastLoadError, IsTheSystemsTextForTheLastFailedLoadOnThisThread) {
    EXPECT_EQ(platform::OpenModule(PluginDirectory("no-such-folder") + platform::kPathSeparator + "x" + kExtension),
              nullptr);
    EXPECT_FALSE(platform::LastLoadError().empty());
    const platform::ModuleHandle plugin = platform::OpenModule(test::PluginFile("types", "QXDVRType0" + kExtension));
    ASSERT_NE(plugin, nullptr);
    EXPECT_EQ(platform::LastLoadError(), "");
    platform::CloseModule(plugin);
#if !defined(_WIN32)
    // Refused before dlopen, which would hand back the main program.
    EXPECT_EQ(platform::OpenModule(""), nullptr);
    EXPECT_EQ(platform::LastLoadError(), "empty file name");
#endif
}

// A folder and plug-in files named beyond ASCII (on Windows with letters the ANSI code page
// lacks) are printed in the console's UTF-8, and so are display names; a Linux name that is
// no UTF-8 is printed escaped, nothing lost.
TEST(ProbeProgram, PrintsNamesBeyondAsciiInUtf8) {
    const std::string korean = "\xEC\xB9\xB4\xEB\xA9\x94\xEB\x9D\xBC";
    const std::string folder = ExecutableDirectory() + "names" + platform::kPathSeparator + korean + "-\xC4\x9F-probe";
    struct Printed {
        std::string file;
        std::string shown;
    };
    std::vector<Printed> files = {{"QXDVR" + korean + kExtension, "QXDVR" + korean + kExtension}};
#if !defined(_WIN32)
    files.push_back({"QXDVR\xFF" + kExtension, "QXDVR\\xFF" + kExtension});
#endif
    std::error_code ignored;
    std::filesystem::remove_all(test::FsPath(folder), ignored);
    std::filesystem::create_directories(test::FsPath(folder));
    for (const Printed& file : files)
        std::filesystem::copy_file(test::FsPath(test::PluginFile("types", "QXDVRType0" + kExtension)),
                                   test::FsPath(folder + platform::kPathSeparator + file.file));

    const test::ToolRun run = RunProbe({"--in-process", folder});
    EXPECT_NE(run.output.find(folder + " (candidates:"), std::string::npos) << run.output;
    const Json report = JsonReader::Read(RunProbe({"--json", "--in-process", folder}).output);
    EXPECT_EQ(report["directory"].text, folder);
    std::map<std::string, std::string> accepted;
    for (const Json& candidate : report["candidates"].items)
        if (candidate["accepted"].boolean) accepted[candidate["name"].text] = candidate["displayName"].text;
    for (const Printed& file : files) {
        SCOPED_TRACE(file.shown);
        const std::size_t line = run.output.find("  " + file.shown + " ");
        ASSERT_NE(line, std::string::npos) << run.output;
        EXPECT_NE(run.output.substr(line, run.output.find('\n', line) - line).find("accepted: type ID 0, " + kName0),
                  std::string::npos) << run.output;
        EXPECT_EQ(accepted[file.shown], kName0);
    }
}

}  // namespace
}  // namespace velmora
