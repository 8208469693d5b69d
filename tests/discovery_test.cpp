// Discovering the plug-ins of one directory and building the server-type table.
#include "core/server_types.h"
#include "test_support.h"

#include "journal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <thread>

namespace velmora {
namespace {

using test::Journal;
using test::PluginDirectory;

const std::string kExtension = platform::kPluginExtension;

struct Summary {
    VelmoraInt typeId;
    std::string fileName;
    std::string displayName;
    bool operator==(const Summary& other) const {
        return typeId == other.typeId && fileName == other.fileName && displayName == other.displayName;
    }
};

std::ostream& operator<<(std::ostream& out, const Summary& s) {
    return out << '{' << s.typeId << ", " << s.fileName << ", " << testing::PrintToString(s.displayName) << '}';
}

std::vector<Summary> Summarise(const ServerTypeTable& table) {
    std::vector<Summary> result;
    for (const auto& record : table) {
        EXPECT_EQ(record->flag, 1);
        result.push_back({record->typeId, std::string(record->fileName.View()),
                          std::string(record->displayName.View())});
    }
    return result;
}

// The records a scan of directory should yield, in the order the system lists the files.
std::vector<Summary> InListingOrder(const std::string& directory, std::vector<Summary> expected) {
    const auto listed = platform::FindMatchingEntries(PluginDirectory(directory) +
                                                      platform::kPathSeparator + "QXDVR*" + kExtension);
    // A record's file name may be cut short, so it is the start of the listed name.
    const auto position = [&](const Summary& s) {
        return std::find_if(listed.begin(), listed.end(), [&](const std::string& name) {
                   return name.compare(0, s.fileName.size(), s.fileName) == 0;
               }) - listed.begin();
    };
    std::sort(expected.begin(), expected.end(),
              [&](const Summary& a, const Summary& b) { return position(a) < position(b); });
    return expected;
}

const std::string kName0 = "\xBA\xA3\xBF\xB5\xC7\xB6\xC8\xEB\xCA\xBD";
const std::string kName1 = "\xBA\xA3\xBF\xB5\xBF\xA8\xCA\xBD" "DVR";
const std::string kName2 = "\xD6\xDA\xC4\xDC\xB4\xEF" "DVS";

class Discovery : public testing::Test {
protected:
    void SetUp() override { JournalClear(); }
};

TEST_F(Discovery, DisplayNamesAreTheCodePage936BytesOfTheThreeKnownTypes) {
    EXPECT_EQ(GetTypeDisplayName(0), kName0);
    EXPECT_EQ(GetTypeDisplayName(1), kName1);
    EXPECT_EQ(GetTypeDisplayName(2), kName2);
    EXPECT_EQ(kName0.size(), 10u);
    EXPECT_EQ(kName1.size(), 11u);
    EXPECT_EQ(kName2.size(), 9u);
    for (VelmoraInt other : {3, -1, 100, INT32_MIN, INT32_MAX}) EXPECT_EQ(GetTypeDisplayName(other), "");
}

TEST_F(Discovery, OneRecordPerPluginWithTypeIdFileAndDisplayName) {
    const ServerTypeTable table = ScanPluginDirectory(PluginDirectory("types"), "path");
    EXPECT_EQ(Summarise(table), InListingOrder("types", {
                                                            {0, "QXDVRType0" + kExtension, kName0},
                                                            {1, "QXDVRType1" + kExtension, kName1},
                                                            {2, "QXDVRType2" + kExtension, kName2},
                                                            {3, "QXDVRType3" + kExtension, ""},
                                                            {-1, "QXDVRTypeMinus1" + kExtension, ""},
                                                            {1, "QXDVRTypeOneAgain" + kExtension, kName1},
                                                        }));
}

TEST_F(Discovery, DuplicateTypeIdsGetTwoRecordsAndLookupFindsTheFirst) {
    const ServerTypeTable table = ScanPluginDirectory(PluginDirectory("types"), "");
    const auto first = std::find_if(table.begin(), table.end(), [](const auto& r) { return r->typeId == 1; });
    ASSERT_NE(first, table.end());
    EXPECT_EQ(FindServerType(table, 1), *first);
    EXPECT_EQ(std::count_if(table.begin(), table.end(), [](const auto& r) { return r->typeId == 1; }), 2);
    EXPECT_EQ(FindServerType(table, 1234), nullptr);
    EXPECT_EQ(FindServerType(ServerTypeTable{}, 0), nullptr);
}

TEST_F(Discovery, EachPluginSeesLoadTypeIdTwiceThenSetPathThenTypeIdOnce) {
    const std::string pluginPath = "D:\\video\\\xC4\xDC data";
    const ServerTypeTable table = ScanPluginDirectory(PluginDirectory("types"), pluginPath);
    const std::vector<std::string> expected = {"GetServerTypeID()", "GetServerTypeID()",
                                               "SetPath(\"" + pluginPath + "\")", "GetServerTypeID()"};
    for (const char* tag : {"Type0", "Type1", "Type2", "Type3", "TypeMinus1", "TypeOneAgain"})
        EXPECT_EQ(Journal(tag), expected) << tag;
    // One plug-in is examined completely before the next one.
    const auto lines = Journal();
    ASSERT_EQ(lines.size(), 24u);
    for (std::size_t i = 0; i < lines.size(); i += 4)
        for (std::size_t j = 1; j < 4; ++j)
            EXPECT_EQ(lines[i].substr(0, lines[i].find(':')), lines[i + j].substr(0, lines[i + j].find(':')));
}

TEST_F(Discovery, OnlyLowerCaseExtensionsAndLibrariesWithTypeIdBecomeRecords) {
    const ServerTypeTable table = ScanPluginDirectory(PluginDirectory("mixed"), "");
    const std::string longName = "QXDVR" + std::string(60 - 5 - kExtension.size(), 'L') + kExtension;
    ASSERT_EQ(longName.size(), 60u);
    // The changing plug-in answers 7, 7 and then 2: the third answer counts.
    EXPECT_EQ(Summarise(table), InListingOrder("mixed", {
                                                            {30, "QXDVROnlyTypeId" + kExtension, ""},
                                                            {2, "QXDVRChanging" + kExtension, kName2},
                                                            {31, longName.substr(0, 50), ""},
                                                            {34, "qxdvrlowerprefix" + kExtension, ""},
                                                        }));
    EXPECT_EQ(Journal("Changing").size(), 3u);
    EXPECT_TRUE(Journal("NoTypeId").empty());
    EXPECT_TRUE(Journal("UpperExtension").empty());
    EXPECT_TRUE(Journal("MixedExtension").empty());
    EXPECT_TRUE(Journal("OtherName").empty());
    // The long name was loaded under its full name: its record exists and it was called.
    EXPECT_EQ(Journal("LongName").size(), 4u);
}

TEST_F(Discovery, FaultingCandidatesArePassedOverAndTheScanGoesOn) {
    for (int round = 0; round < 2; ++round) {
        JournalClear();
        const ServerTypeTable table = ScanPluginDirectory(PluginDirectory("faulty"), "");
        EXPECT_EQ(Summarise(table), InListingOrder("faulty", {{20, "QXDVRGoodA" + kExtension, ""},
                                                              {21, "QXDVRGoodZ" + kExtension, ""}}));
        for (const char* kind : {"NULL_WRITE", "ILLEGAL_INSTRUCTION", "DIVIDE_BY_ZERO", "THROW", "ABORT"}) {
            EXPECT_EQ(Journal(std::string("FaultTypeId_") + kind),
                      std::vector<std::string>{"GetServerTypeID()"})
                << kind;
            EXPECT_EQ(Journal(std::string("FaultSetPath_") + kind),
                      (std::vector<std::string>{"GetServerTypeID()", "GetServerTypeID()", "SetPath()"}))
                << kind;
        }
    }
}

// A contained abort() leaves abort() and the guard as they were: the next ones are
// contained too, on this thread, on another one, and on two threads scanning at once.
TEST_F(Discovery, AbortsAreContainedAgainOnThisAndOtherThreads) {
    const auto scan = [] { return Summarise(ScanPluginDirectory(PluginDirectory("faulty"), "")); };
    const auto expected = InListingOrder("faulty", {{20, "QXDVRGoodA" + kExtension, ""},
                                                    {21, "QXDVRGoodZ" + kExtension, ""}});
    EXPECT_EQ(scan(), expected);
    EXPECT_EQ(scan(), expected);
    std::vector<Summary> first, second;
    std::thread([&] { first = scan(); }).join();
    EXPECT_EQ(first, expected);
    std::thread one([&] { first = scan(); }), other([&] { second = scan(); });
    one.join();
    other.join();
    EXPECT_EQ(first, expected);
    EXPECT_EQ(second, expected);
    EXPECT_EQ(scan(), expected);
    // Each scan reached the aborting calls.
    EXPECT_EQ(Journal("FaultTypeId_ABORT").size(), 6u);
    EXPECT_EQ(Journal("FaultSetPath_ABORT").size(), 18u);
}

TEST_F(Discovery, SpecialFilesArePassedOverWithoutBeingOpened) {
#if defined(_WIN32)
    GTEST_SKIP() << "Windows has no FIFOs, and its builds leave every candidate to the loader";
#else
    const test::SpecialFilesFolder folder;
    std::map<std::string, CandidateReport> reports;
    const ServerTypeTable table = ScanPluginDirectory(folder.path(), "", [&](const std::string& name, const CandidateReport& report) {
        reports[name] = report;
    });
    EXPECT_EQ(Summarise(table), (std::vector<Summary>{{3, "QXDVRType3" + kExtension, ""}}));
    const std::map<std::string, std::string> kinds = {
        {"QXDVRFifo" + kExtension, "FIFO"}, {"QXDVRSocket" + kExtension, "socket"}, {"QXDVRNull" + kExtension, "character device"}};
    for (const auto& [name, kind] : kinds) {
        ASSERT_EQ(reports.count(name), 1u) << name;
        EXPECT_EQ(reports[name].outcome, CandidateOutcome::SpecialFile) << name;
        EXPECT_STREQ(reports[name].specialKind, kind.c_str()) << name;
    }
    EXPECT_TRUE(folder.FifoUnread());
#endif
}

// The plug-in's type ID comes from its vendor's library, which only its own folder holds.
TEST_F(Discovery, APluginsOwnLibraryIsFoundBesideIt) {
    const ServerTypeTable table = ScanPluginDirectory(PluginDirectory("vendor"), "");
    EXPECT_EQ(Summarise(table), (std::vector<Summary>{{80, "QXDVRVendorPlugin" + kExtension, ""}}));
    EXPECT_EQ(Journal("VendorPlugin").size(), 3u);
}

TEST_F(Discovery, DirectoryEndingInASeparatorIsScannedWithTheSeparatorDoubled) {
    const ServerTypeTable table =
        ScanPluginDirectory(PluginDirectory("types") + platform::kPathSeparator, "");
    EXPECT_EQ(table.size(), 6u);
}

TEST_F(Discovery, DirectoriesThatHoldNoPluginGiveAnEmptyTable) {
    const std::string plugin = test::PluginFile("types", "QXDVRType0" + kExtension);
    const std::string overLong = PluginDirectory("types") + platform::kPathSeparator +
                                 std::string(300, 'x');
    for (const std::string& directory :
         {std::string{}, PluginDirectory("no-such-directory"), plugin, overLong, PluginDirectory("noplugin")})
        EXPECT_TRUE(ScanPluginDirectory(directory, "").empty()) << directory;
    EXPECT_TRUE(Journal().empty());
}

TEST_F(Discovery, SecondScanBuildsFreshRecordsWhileTheFirstStayUsable) {
    const ServerTypeTable first = ScanPluginDirectory(PluginDirectory("types"), "");
    const ServerTypeTable second = ScanPluginDirectory(PluginDirectory("types"), "");
    ASSERT_EQ(Summarise(first), Summarise(second));
    for (std::size_t i = 0; i < first.size(); ++i) {
        EXPECT_NE(first[i], second[i]);
        EXPECT_NE(first[i]->plugin.get(), second[i]->plugin.get());
    }
    EXPECT_EQ(first[0]->plugin->Call<EntryPoint::AddServer>(5), 1);
}

}  // namespace
}  // namespace velmora
