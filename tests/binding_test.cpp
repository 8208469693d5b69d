// Loading one plug-in file and calling its entry points.
#include "plugin/server_type_dll.h"
#include "test_support.h"

#include "journal.h"

#include <gtest/gtest.h>

namespace velmora {
namespace {

using test::PluginFile;

std::string Fixture(const std::string& directory, const std::string& base) {
    return PluginFile(directory, base + platform::kPluginExtension);
}

TEST(Binding, PluginWithOnlyTypeIdBindsAndEveryOtherCallAnswersMinusOne) {
    TServerTypeDLL plugin;
    plugin.Bind(Fixture("mixed", "QXDVROnlyTypeId"));
    EXPECT_EQ(plugin.typeId(), 30);
    EXPECT_EQ(plugin.Call<EntryPoint::GetServerTypeID>(), 30);
    for (std::size_t i = 0; i < kEntryPointCount; ++i)
        EXPECT_EQ(plugin.Has(static_cast<EntryPoint>(i)), static_cast<EntryPoint>(i) == EntryPoint::GetServerTypeID)
            << kEntryPoints[i].name;
    EXPECT_EQ(plugin.Call<EntryPoint::InitDLL>(VelmoraWord{7}), -1);
    EXPECT_EQ(plugin.Call<EntryPoint::PTZControl>(1, VelmoraWord{2}, VelmoraWord{3}, VelmoraWord{4}, VelmoraWord{5}), -1);
    EXPECT_EQ(plugin.Call<EntryPoint::StopCapture>(VelmoraWord{1}), -1);
    plugin.SetPath("ignored");  // skipped without an entry point
}

TEST(Binding, FileWithoutTypeIdFailsProbeAndResolvesNothing) {
    TServerTypeDLL plugin;
    EXPECT_FALSE(plugin.Probe(Fixture("mixed", "QXDVRNoTypeId")));
    plugin.Bind(Fixture("mixed", "QXDVRNoTypeId"));
    for (std::size_t i = 0; i < kEntryPointCount; ++i)
        EXPECT_FALSE(plugin.Has(static_cast<EntryPoint>(i))) << kEntryPoints[i].name;
    EXPECT_EQ(plugin.typeId(), 0);
}

TEST(Binding, FailedProbeKeepsTheEarlierTypeId) {
    TServerTypeDLL plugin;
    ASSERT_TRUE(plugin.Probe(Fixture("types", "QXDVRType3")));
    EXPECT_FALSE(plugin.Probe(Fixture("types", "NoSuchFile")));
    EXPECT_EQ(plugin.typeId(), 3);
    EXPECT_FALSE(plugin.Has(EntryPoint::GetServerTypeID));
    EXPECT_EQ(plugin.Call<EntryPoint::GetServerTypeID>(), -1);
}

TEST(Binding, FullPluginResolvesEveryEntryPointAndPassesArgumentsUnchanged) {
    TServerTypeDLL plugin;
    JournalClear();
    plugin.Bind(Fixture("types", "QXDVRType2"));
    for (std::size_t i = 0; i < kEntryPointCount; ++i)
        EXPECT_TRUE(plugin.Has(static_cast<EntryPoint>(i))) << kEntryPoints[i].name;

    VelmoraBlock24 blockA{}, blockB{};
    for (unsigned char i = 0; i < 24; ++i) {
        blockA.bytes[i] = static_cast<unsigned char>(0xA0 + i);
        blockB.bytes[i] = static_cast<unsigned char>(0x10 + i);
    }
    EXPECT_EQ(plugin.Call<EntryPoint::StopPlay>(VelmoraWord{-5}), 1);
    EXPECT_EQ(plugin.Call<EntryPoint::GetCapFileList>(9, VelmoraWord{2}, VelmoraWord{3}, blockA,
                                                      blockB, VelmoraWord{16}, VelmoraWord{17}),
              1);
    plugin.SetPath("C:\\path");
    EXPECT_EQ(test::Journal("Type2"),
              (std::vector<std::string>{
                  "GetServerTypeID()", "StopPlay(-5)",
                  "GetCapFileList(9,2,3,a0a1a2a3a4a5a6a7a8a9aaabacadaeafb0b1b2b3b4b5b6b7,"
                  "101112131415161718191a1b1c1d1e1f2021222324252627,16,17)",
                  "SetPath(\"C:\\path\")"}));
}

}  // namespace
}  // namespace velmora
