// What the fuzz targets of fuzz/ found, kept as plain cases: each runs the shortest input
// that showed the fault, in the terms of the exports.
#include "test_support.h"

#include "journal.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace velmora {
namespace {

using test::Journal;
using test::LoadedVelmora;
using test::MakeParams;
using test::PluginDirectory;
using test::Recorder;

VelmoraInt VELMORA_CALL AnswerFromUser(VelmoraInt, const char* const*, VelmoraWord user) {
    return static_cast<VelmoraInt>(user);
}

// export_sequence: "types" holds a plug-in of type ID -1; adding a server with no type
// chosen registered it under that type.
TEST(FuzzFindings, NoChoiceNeverReachesAPluginOfTypeIdMinusOne) {
    const Recorder minusOne{"types", "QXDVRTypeMinus1"};
    LoadedVelmora library;
    const auto params = MakeParams("", PluginDirectory("types"));
    ASSERT_EQ(library.InitSvManage(&params, 0), 1);
    JournalClear();

    for (VelmoraInt answer : {-1, 6, 1000, INT32_MIN}) {
        library.SetSelectServerCallBack(AnswerFromUser, answer);
        EXPECT_EQ(library.AddServer(5), -1) << answer;
    }
#if !defined(_WIN32)
    // Where there is no dialog, no callback is no choice either.
    library.SetSelectServerCallBack(nullptr, 0);
    EXPECT_EQ(library.AddServer(5), -1);
#endif
    EXPECT_TRUE(Journal().empty());
    EXPECT_EQ(library.ChangeServer(5), -1) << "not registered";
    JournalClear();
}

}  // namespace
}  // namespace velmora
