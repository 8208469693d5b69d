// Adding, logging in and deleting servers, with the type chosen through the selection
// callback.
#include "test_support.h"

#include "journal.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace velmora {
namespace {

using test::Journal;
using test::LoadedVelmora;
using test::MakeParams;
using test::PluginDirectory;
using test::Recorder;
using test::TagsInTableOrder;

// What the host's selection callback answers, and what it was shown.
struct Chooser {
    VelmoraInt answer = 0;
    int calls = 0;
    std::vector<std::string> names;
    // Host code run while the type is being chosen, as from a dialog's message loop.
    void (*during)(Chooser&) = nullptr;
    LoadedVelmora* library = nullptr;
};

VelmoraInt VELMORA_CALL Choose(VelmoraInt count, const char* const* names, VelmoraWord user) {
    auto& chooser = *reinterpret_cast<Chooser*>(user);
    ++chooser.calls;
    chooser.names.assign(names, names + count);
    if (chooser.during) chooser.during(chooser);
    return chooser.answer;
}

class Registry : public testing::Test {
protected:
    void SetUp() override {
        const auto params = MakeParams("", PluginDirectory("registry"));
        library.InitSvManage(&params, 0);
        EXPECT_EQ(library.SetSelectServerCallBack(Choose, reinterpret_cast<VelmoraWord>(&chooser)), 1);
        JournalClear();
    }

    // The table index of a fixture of the registry directory.
    VelmoraInt IndexOf(const std::string& tag) const {
        return static_cast<VelmoraInt>(std::find(tags.begin(), tags.end(), tag) - tags.begin());
    }
    // Whether the server is registered, seen as a per-server call reaching a plug-in.
    bool Registered(VelmoraInt server) {
        JournalClear();
        const bool reached = library.ChangeServer(server) != -1;
        JournalClear();
        return reached;
    }
    VelmoraInt Login(VelmoraInt server, VelmoraInt typeId) {
        VelmoraLoginRecord record{server, typeId};
        return library.LoginServer(&record);
    }

    const std::vector<std::string> tags = TagsInTableOrder("registry");
    Recorder zero{"registry", "QXDVRRegZero"};
    Recorder one{"registry", "QXDVRRegOne"};
    Recorder oneAgain{"registry", "QXDVRRegOneAgain"};
    LoadedVelmora library;
    Chooser chooser;
};

TEST_F(Registry, AddServerRegistersTheChosenTypeOnceThePluginSucceeds) {
    chooser.answer = IndexOf("RegZero");
    EXPECT_EQ(library.AddServer(5), 1);
    EXPECT_EQ(Journal(), std::vector<std::string>{"RegZero:AddServer(5)"});
    EXPECT_EQ(chooser.names.size(), tags.size());
    EXPECT_EQ(chooser.names[IndexOf("RegZero")], "\xBA\xA3\xBF\xB5\xC7\xB6\xC8\xEB\xCA\xBD");
    EXPECT_EQ(chooser.names[IndexOf("RegBare")], "\xD6\xDA\xC4\xDC\xB4\xEF" "DVS");
    EXPECT_TRUE(Registered(5));

    // A registered ID is refused before anything is shown or called.
    EXPECT_EQ(library.AddServer(5), -2);
    EXPECT_EQ(chooser.calls, 1);
    EXPECT_TRUE(Journal().empty());
}

TEST_F(Registry, NoChoiceMeansMinusOneWithoutAnyPluginCall) {
    for (VelmoraInt answer : {-1, static_cast<VelmoraInt>(tags.size()), 1000, INT32_MIN}) {
        chooser.answer = answer;
        EXPECT_EQ(library.AddServer(6), -1) << answer;
    }
    EXPECT_TRUE(Journal().empty());
    EXPECT_FALSE(Registered(6));
}

TEST_F(Registry, PluginResultsOfZeroOrLessAreReturnedAndChangeNothing) {
    chooser.answer = IndexOf("RegZero");
    for (VelmoraInt result : {0, -1, -3, INT32_MIN}) {
        zero.SetResult("AddServer", result);
        EXPECT_EQ(library.AddServer(7), result);
        EXPECT_FALSE(Registered(7));
    }
    EXPECT_EQ(chooser.calls, 4) << "each attempt asks again";
    zero.SetResult("AddServer", 12345);
    EXPECT_EQ(library.AddServer(7), 12345);
    EXPECT_TRUE(Registered(7));
}

TEST_F(Registry, PluginWithoutAddServerGivesMinusOne) {
    chooser.answer = IndexOf("RegBare");
    EXPECT_EQ(library.AddServer(8), -1);
    EXPECT_FALSE(Registered(8));
}

TEST_F(Registry, SharedTypeIdReachesTheFirstRecordWhicheverIsChosen) {
    const std::string first = IndexOf("RegOne") < IndexOf("RegOneAgain") ? "RegOne" : "RegOneAgain";
    const std::string second = first == "RegOne" ? "RegOneAgain" : "RegOne";
    chooser.answer = IndexOf(second);
    EXPECT_EQ(library.AddServer(9), 1);
    EXPECT_EQ(Journal(), std::vector<std::string>{first + ":AddServer(9)"});
    JournalClear();
    library.ChangeServer(9);
    EXPECT_EQ(Journal(), std::vector<std::string>{first + ":ChangeServer(9)"});
}

TEST_F(Registry, EmptyTableOffersNoNameAndGivesMinusOne) {
    const auto params = MakeParams("", PluginDirectory("noplugin"));
    library.InitSvManage(&params, 0);
    chooser.answer = 0;
    EXPECT_EQ(library.AddServer(10), -1);
    EXPECT_EQ(chooser.calls, 1);
    EXPECT_TRUE(chooser.names.empty());
}

TEST_F(Registry, AddServerFromInsideTheChoiceKeepsOneEntryPerId) {
    chooser.answer = IndexOf("RegZero");
    chooser.library = &library;
    chooser.during = [](Chooser& outer) {
        outer.during = nullptr;
        EXPECT_EQ(outer.library->AddServer(11), 1);
    };
    EXPECT_EQ(library.AddServer(11), 1) << "the plug-in's result is still returned";
    EXPECT_EQ(Journal(), (std::vector<std::string>{"RegZero:AddServer(11)", "RegZero:AddServer(11)"}));
    // One entry: a single successful delete leaves nothing behind.
    EXPECT_EQ(library.DelServer(11), 1);
    EXPECT_FALSE(Registered(11));
}

TEST_F(Registry, DelServerRemovesOnlyOnceThePluginSucceeds) {
    EXPECT_EQ(library.DelServer(20), 1) << "never registered";
    EXPECT_TRUE(Journal().empty());

    chooser.answer = IndexOf("RegZero");
    library.AddServer(20);
    for (VelmoraInt result : {0, -1, -9}) {
        zero.SetResult("DelServer", result);
        EXPECT_EQ(library.DelServer(20), result);
        EXPECT_TRUE(Registered(20));
    }
    zero.SetResult("DelServer", 77);
    JournalClear();
    EXPECT_EQ(library.DelServer(20), 77);
    EXPECT_EQ(Journal(), std::vector<std::string>{"RegZero:DelServer(20)"});
    EXPECT_FALSE(Registered(20));
    EXPECT_EQ(library.DelServer(20), 1);
}

TEST_F(Registry, RegistrationsSurviveReinitialisationAndFollowTheTypeId) {
    chooser.answer = IndexOf("RegZero");
    library.AddServer(30);
    library.DeInitSvManage();
    const auto registry = MakeParams("", PluginDirectory("registry"));
    library.InitSvManage(&registry, 0);
    EXPECT_TRUE(Registered(30));

    // Type 0 gone from the table: the entry stays, unreachable.
    const auto types = MakeParams("", PluginDirectory("faulty"));
    library.InitSvManage(&types, 0);
    JournalClear();
    EXPECT_EQ(library.DelServer(30), 1);
    EXPECT_EQ(library.AddServer(30), -2);
    EXPECT_FALSE(Registered(30));

    // Back again, and re-typed by a login under a type that is present.
    library.InitSvManage(&registry, 0);
    EXPECT_EQ(Login(30, 1), 1);
    JournalClear();
    EXPECT_EQ(library.DelServer(30), 1);
    EXPECT_EQ(Journal().size(), 1u);
    EXPECT_NE(Journal()[0].find(":DelServer(30)"), std::string::npos);
    EXPECT_EQ(Journal()[0].rfind("RegOne", 0), 0u);
}

TEST_F(Registry, LoginServerRegistersOrRetypesOnSuccess) {
    VelmoraLoginRecord record{40, 0};
    EXPECT_EQ(library.LoginServer(&record), 1);
    EXPECT_EQ(Journal(), std::vector<std::string>{"RegZero:LoginServer(" +
                                                  std::to_string(reinterpret_cast<VelmoraWord>(&record)) + ")"});
    EXPECT_TRUE(Registered(40));

    // Logged in again under type 2's plug-in... which has no LoginServer: -1, nothing changes.
    EXPECT_EQ(Login(40, 2), -1);
    library.ChangeServer(40);
    EXPECT_EQ(Journal(), std::vector<std::string>{"RegZero:ChangeServer(40)"});

    // Under type 1: the plug-in of type 1 is called even though 40 is registered.
    JournalClear();
    EXPECT_EQ(Login(40, 1), 1);
    ASSERT_EQ(Journal().size(), 1u);
    JournalClear();
    library.ChangeServer(40);
    ASSERT_EQ(Journal().size(), 1u);
    EXPECT_EQ(Journal()[0].rfind("RegOne", 0), 0u) << Journal()[0];
}

TEST_F(Registry, LoginServerRefusesNullRecordsAndUnknownTypes) {
    EXPECT_EQ(library.LoginServer(nullptr), -1);
    EXPECT_EQ(Login(41, 99), -1);
    EXPECT_TRUE(Journal().empty());
    zero.SetResult("LoginServer", 0);
    EXPECT_EQ(Login(41, 0), 0);
    zero.SetResult("LoginServer", -4);
    EXPECT_EQ(Login(41, 0), -4);
    EXPECT_FALSE(Registered(41));
}

TEST_F(Registry, LoginServerRegistersWhatThePluginLeftInTheRecord) {
    zero.RewriteLogin(43, 0);
    VelmoraLoginRecord record{42, 0};
    EXPECT_EQ(library.LoginServer(&record), 1);
    EXPECT_EQ(record.serverId, 43);
    EXPECT_FALSE(Registered(42));
    EXPECT_TRUE(Registered(43));

    // A type ID no record carries is registered all the same, and unreachable.
    zero.RewriteLogin(44, 99);
    EXPECT_EQ(Login(44, 0), 1);
    EXPECT_FALSE(Registered(44));
    EXPECT_EQ(library.DelServer(44), 1);
    EXPECT_EQ(library.AddServer(44), -2);
}

#if !defined(_WIN32)
TEST_F(Registry, WithoutCallbackNoTypeIsChosenWhereThereIsNoDialog) {
    EXPECT_EQ(library.SetSelectServerCallBack(nullptr, 0), 1);
    EXPECT_EQ(library.AddServer(50), -1);
    EXPECT_EQ(chooser.calls, 0);
    EXPECT_TRUE(Journal().empty());
}
#endif

}  // namespace
}  // namespace velmora
