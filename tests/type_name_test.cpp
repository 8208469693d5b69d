// Plug-ins that name their own type: what discovery asks, the name it keeps, and the
// name the host then lists and looks up.
#include "core/server_types.h"
#include "core/type_name_buffer.h"
#include "test_support.h"

#include "journal.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <utility>

namespace velmora {
namespace {

using test::Journal;
using test::PluginDirectory;

const std::string kExtension = platform::kPluginExtension;
const std::string kCp936Name = "\xB1\xB1\xB3\xBD\xCD\xF8\xC2\xE7NVR";
const std::string kBuiltInName0 = "\xBA\xA3\xBF\xB5\xC7\xB6\xC8\xEB\xCA\xBD";
const std::vector<std::string> kExamined = {"GetServerTypeID()", "GetServerTypeID()", "GetServerTypeID()"};
const std::string kAsked = "GetServerTypeName(" + std::to_string(TypeNameBuffer::kCapacity) + ")";

// The fixtures of tests/fixtures/named_type.cpp, QXDVRNamed_<naming>.
struct NamedCase {
    std::string naming;
    VelmoraInt typeId;
    std::string displayName;
    bool asked;
};

void PrintTo(const NamedCase& c, std::ostream* out) { *out << c.naming; }

const std::vector<NamedCase> kNamedCases = {
    {"CP936_NAME", 3, kCp936Name, true},
    {"LONG_NAME", 4, std::string(30, 'L') + std::string(20, 'l'), true},
    {"SPLIT_NAME", 5, std::string(49, 'S'), true},
    {"ZERO_ANSWER", 6, "", true},
    {"NEGATIVE_ANSWER", 7, "", true},
    {"SHORT_NAME", 8, "Short", true},
    {"UNTERMINATED", 9, std::string(50, 'O'), true},
    {"TYPE_ZERO", 0, kBuiltInName0, false},
};

std::string FileOf(const std::string& naming) { return "QXDVRNamed_" + naming + kExtension; }

// Every candidate of the folder, as a scan reported it.
class NamedScan : public testing::Test {
protected:
    void SetUp() override {
        JournalClear();
        table = ScanPluginDirectory(PluginDirectory("named"), "",
                                    [&](const std::string& name, const CandidateReport& report) { reports[name] = report; });
    }

    ServerTypeTable table;
    std::map<std::string, CandidateReport> reports;
};

class NamedPlugin : public NamedScan, public testing::WithParamInterface<NamedCase> {};

TEST_P(NamedPlugin, IsAskedOnlyWithoutABuiltInNameAndKeepsWhatItAnswered) {
    const NamedCase& c = GetParam();
    const CandidateReport& report = reports.at(FileOf(c.naming));
    ASSERT_EQ(report.outcome, CandidateOutcome::Accepted);
    EXPECT_EQ(report.record->typeId, c.typeId);
    EXPECT_EQ(report.record->displayName.View(), c.displayName);
    std::vector<std::string> calls = kExamined;
    if (c.asked) calls.push_back(kAsked);
    EXPECT_EQ(Journal("Named_" + c.naming), calls);
}

INSTANTIATE_TEST_SUITE_P(EveryNaming, NamedPlugin, testing::ValuesIn(kNamedCases),
                         [](const testing::TestParamInfo<NamedCase>& info) { return info.param.naming; });

TEST_F(NamedScan, FaultWhileNamingPassesTheCandidateOver) {
    const CandidateReport& report = reports.at(FileOf("NULL_WRITE"));
    EXPECT_EQ(report.outcome, CandidateOutcome::Fault);
    EXPECT_STREQ(report.faultedCall, "GetServerTypeName");
    EXPECT_EQ(report.record, nullptr);
    std::vector<std::string> calls = kExamined;
    calls.push_back(kAsked);
    EXPECT_EQ(Journal("Named_NULL_WRITE"), calls);
    EXPECT_EQ(table.size(), kNamedCases.size());
}

void VELMORA_CALL CollectType(VelmoraInt typeId, const char* name, VelmoraWord user) {
    reinterpret_cast<std::vector<std::pair<VelmoraInt, std::string>>*>(user)->emplace_back(typeId, name);
}

TEST(NamedTypes, AreListedAndFoundByTheHostUnderThePluginsName) {
    test::LoadedVelmora library;
    const auto params = test::MakeParams("", PluginDirectory("named"));
    ASSERT_EQ(library.InitSvManage(&params, 0), 1);
    std::vector<std::pair<VelmoraInt, std::string>> listed, expected;
    library.GetServerTypeInfo(CollectType, reinterpret_cast<VelmoraWord>(&listed));
    for (const auto& record : ScanPluginDirectory(PluginDirectory("named"), ""))
        expected.emplace_back(record->typeId, std::string(record->displayName.View()));
    EXPECT_EQ(listed, expected);
    for (const NamedCase& c : kNamedCases) {
        if (c.displayName.empty()) continue;
        EXPECT_EQ(library.GetServerTypeID(c.displayName.c_str()), c.typeId) << c.naming;
    }
}

// What a plug-in left in the buffer, how long it said its name is, and the name kept.
struct BufferCase {
    std::string written;
    VelmoraInt answered;
    std::string kept;
};

TEST(TypeNameBuffer, CutsAtTheAnswerTheFirstZeroTheRecordAndWholeCharacters) {
    const std::string lead = "\xB1", character = "\xB1\xB1";
    const std::vector<BufferCase> cases = {
        {"abc", 3, "abc"},
        {"abc", 2, "ab"},
        {"abc", 0, ""},
        {"abc", -1, ""},
        {"abc", INT32_MIN, ""},
        {"abc", 200, "abc"},
        {std::string("ab\0cd", 5), 5, "ab"},
        {std::string(255, 'x'), INT32_MAX, std::string(50, 'x')},
        {std::string(48, 'x') + character, 50, std::string(48, 'x') + character},
        {std::string(49, 'x') + character, 51, std::string(49, 'x')},
        {std::string(49, 'x') + lead, 50, std::string(49, 'x')},
        {character, 1, ""},
        {lead, 5, ""},
        {"\x80" "a", 2, "\x80" "a"},
        {character + "NVR", 5, character + "NVR"},
    };
    for (const BufferCase& c : cases) {
        TypeNameBuffer buffer;
        std::memcpy(buffer.data(), c.written.data(), c.written.size());
        EXPECT_EQ(buffer.Name(c.answered), c.kept) << testing::PrintToString(c.written) << ", " << c.answered;
    }
}

}  // namespace
}  // namespace velmora
