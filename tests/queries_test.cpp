// Listing the server types, finding one by display name, and handing every plug-in the
// host's message callback.
#include "test_support.h"

#include "journal.h"

#include <gtest/gtest.h>

namespace velmora {
namespace {

using test::Journal;
using test::LoadedVelmora;
using test::MakeParams;
using test::PluginDirectory;
using test::TagsInTableOrder;

struct Listing {
    std::vector<std::pair<VelmoraInt, std::string>> types;
    std::vector<bool> nullNames;
};

void VELMORA_CALL Collect(VelmoraInt typeId, const char* name, VelmoraWord user) {
    auto& listing = *reinterpret_cast<Listing*>(user);
    listing.nullNames.push_back(name == nullptr);
    listing.types.emplace_back(typeId, name ? name : "");
}

class Queries : public testing::Test {
protected:
    void SetUp() override {
        tags = TagsInTableOrder("types");
        const auto params = MakeParams("", PluginDirectory("types"));
        library.InitSvManage(&params, 0);
        JournalClear();
    }

    static VelmoraInt TypeIdOf(const std::string& tag) {
        if (tag == "TypeMinus1") return -1;
        if (tag == "TypeOneAgain") return 1;
        return std::stoi(tag.substr(4));
    }

    LoadedVelmora library;
    std::vector<std::string> tags;
};

const std::string kName1 = "\xBA\xA3\xBF\xB5\xBF\xA8\xCA\xBD" "DVR";

std::string ExpectedName(VelmoraInt typeId) {
    switch (typeId) {
        case 0: return "\xBA\xA3\xBF\xB5\xC7\xB6\xC8\xEB\xCA\xBD";
        case 1: return kName1;
        case 2: return "\xD6\xDA\xC4\xDC\xB4\xEF" "DVS";
        default: return {};
    }
}

TEST_F(Queries, GetServerTypeInfoReportsEveryTypeInTableOrderAndAnswersMinusOne) {
    EXPECT_EQ(library.GetServerTypeInfo(nullptr, 0), -1);
    Listing listing;
    EXPECT_EQ(library.GetServerTypeInfo(Collect, reinterpret_cast<VelmoraWord>(&listing)), -1);
    ASSERT_EQ(listing.types.size(), tags.size());
    for (std::size_t i = 0; i < tags.size(); ++i) {
        const VelmoraInt typeId = TypeIdOf(tags[i]);
        EXPECT_EQ(listing.types[i].first, typeId) << tags[i];
        EXPECT_EQ(listing.types[i].second, ExpectedName(typeId)) << tags[i];
        EXPECT_FALSE(listing.nullNames[i]) << "an empty name is an empty text, never null";
    }
    EXPECT_TRUE(Journal().empty());
}

TEST_F(Queries, GetServerTypeIdComparesTheBytesExactly) {
    EXPECT_EQ(library.GetServerTypeID(kName1.c_str()), 1);
    EXPECT_EQ(library.GetServerTypeID("\xBA\xA3\xBF\xB5\xC7\xB6\xC8\xEB\xCA\xBD"), 0);
    EXPECT_EQ(library.GetServerTypeID("\xD6\xDA\xC4\xDC\xB4\xEF" "DVS"), 2);
    EXPECT_EQ(library.GetServerTypeID("\xD6\xDA\xC4\xDC\xB4\xEF" "dvs"), -1) << "no case folding";
    EXPECT_EQ(library.GetServerTypeID("\xD6\xDA\xC4\xDC\xB4\xEF" "DVS "), -1) << "no trimming";
    EXPECT_EQ(library.GetServerTypeID("unknown"), -1);

    // Empty and null names find the first type without a built-in name: 3 or -1.
    VelmoraInt firstUnnamed = -1;
    for (const auto& tag : tags)
        if (tag == "Type3" || tag == "TypeMinus1") {
            firstUnnamed = TypeIdOf(tag);
            break;
        }
    EXPECT_EQ(library.GetServerTypeID(""), firstUnnamed);
    EXPECT_EQ(library.GetServerTypeID(nullptr), firstUnnamed);
}

TEST_F(Queries, SetSvMsgCallBackReachesEveryPluginInTableOrder) {
    int target = 0;
    const auto w1 = reinterpret_cast<VelmoraWord>(&target);
    const VelmoraWord w2 = sizeof(VelmoraWord) > 4 ? VelmoraWord(0x123456789) : VelmoraWord(-5);
    EXPECT_EQ(library.SetSvMsgCallBack(w1, w2), -1);
    std::vector<std::string> expected;
    for (const auto& tag : tags)
        expected.push_back(tag + ":SetSvMsgCallBack(" + std::to_string(w1) + "," + std::to_string(w2) + ")");
    EXPECT_EQ(Journal(), expected);
}

TEST(QueriesOnEmptyTable, AnswerMinusOneAndCallNothing) {
    LoadedVelmora library;
    JournalClear();
    Listing listing;
    EXPECT_EQ(library.GetServerTypeInfo(Collect, reinterpret_cast<VelmoraWord>(&listing)), -1);
    EXPECT_TRUE(listing.types.empty());
    EXPECT_EQ(library.GetServerTypeID(""), -1);
    EXPECT_EQ(library.GetServerTypeID(nullptr), -1);
    EXPECT_EQ(library.SetSvMsgCallBack(1, 2), -1);
    EXPECT_TRUE(Journal().empty());
}

}  // namespace
}  // namespace velmora
