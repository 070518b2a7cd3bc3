// ManageONTAP as the client sees it (last error, no back end) and the back
// end the config builds behind it (kinds, [faults] settings, calls log).
#include "array/ArrayBackendFactory.h"
#include "array/FaultInjectingBackend.h"
#include "array/ScriptJson.h"
#include "array/ScriptedArray.h"
#include "host/ManageONTAP.h"
#include "tests/support/TestSupport.h"

#include <algorithm>
#include <boost/make_shared.hpp>
#include <functional>
#include <gtest/gtest.h>

namespace {

using testsupport::ScopedConfig;
using testsupport::TempDir;

// Every ManageONTAP call that reports success as a bool, by name; the
// outputs go to a scratch record.
struct Out {
    unsigned a, b, c;
    std::string s;
    bool escaped, emptyAllowed, end;
    std::vector<SnapShotInfo_t> snapshots;
    std::vector<SnapDiffFileInfo> batch;
};
using Call = std::function<bool(ManageONTAP&, Out&)>;
const std::vector<std::pair<std::string, Call>> kFailableCalls = {
    {"OpenConnection", [](ManageONTAP& m, Out&) { return m.OpenConnection(); }},
    {"GetFileServerVersion",
     [](ManageONTAP& m, Out& o) { return m.GetFileServerVersion(o.a, o.b, o.c, false); }},
    {"GetActualStoragePathForNfsExport",
     [](ManageONTAP& m, Out& o) { return m.GetActualStoragePathForNfsExport("/vol/v/a", o.s); }},
    {"GetSnapShotList",
     [](ManageONTAP& m, Out& o) { return m.GetSnapShotList(o.snapshots, "v", 0, "s"); }},
    {"CreateOntapSnap", [](ManageONTAP& m, Out&) { return m.CreateOntapSnap("v", "s9"); }},
    {"DeleteOntapSnap", [](ManageONTAP& m, Out&) { return m.DeleteOntapSnap("v", "s1", nullptr); }},
    {"SnapDiffStart",
     [](ManageONTAP& m, Out& o) {
         return m.SnapDiffStart("v", "s1", "s2", 10, "nfs", o.s, o.escaped, o.emptyAllowed);
     }},
    {"SnapDiffNext",
     [](ManageONTAP& m, Out& o) { return m.SnapDiffNext("scripted-diff-1", o.batch, o.end); }},
    {"SnapDiffEnd", [](ManageONTAP& m, Out&) { return m.SnapDiffEnd("scripted-diff-1"); }},
};

boost::shared_ptr<FaultInjectingBackend> ScriptedBackend(std::vector<ScriptedFault> faults) {
    ArrayScript script;
    script.mapExports["/vol/v/a"] = "/vol/v/a";
    script.mapSnapshots["v"] = {"s1"};
    script.mapSnapDiffs[std::make_tuple("v", "s1", "s2")] = ScriptedSnapDiff();
    return boost::make_shared<FaultInjectingBackend>(boost::make_shared<ScriptedArray>(script),
                                                     faults);
}

// All three ways of reading the last error agree, and it says something.
void ExpectLastError(ManageONTAP& ontap, uint32_t code) {
    std::string message;
    MoErrCode_t error;
    ontap.GetLastError(error);
    EXPECT_EQ(code, ontap.GetLastError());
    EXPECT_EQ(code, ontap.GetLastError(message));
    EXPECT_EQ(message, error.strMessage);
    EXPECT_EQ(code, error.uiCode);
    EXPECT_FALSE(message.empty());
}

TEST(ManageONTAP, FailedCallSetsLastErrorAndSuccessKeepsIt) {
    ManageONTAP unattached;
    EXPECT_EQ(0u, unattached.GetLastError());
    EXPECT_FALSE(unattached.IsCluster() || unattached.IsClusterInterface());
    Out out;
    for (const auto& call : kFailableCalls) {
        SCOPED_TRACE(call.first);
        // Without a back end every call fails as not connected.
        EXPECT_FALSE(call.second(unattached, out));
        ExpectLastError(unattached, kArrayErrNotConnected);

        ScriptedFault fault;
        fault.strOperation = call.first;
        fault.uiCode = 4242;
        fault.strMessage = "refused " + call.first;
        ManageONTAP ontap;
        ontap.AttachBackend(ScriptedBackend({fault}));
        EXPECT_FALSE(call.second(ontap, out));
        std::string message;
        EXPECT_EQ(4242u, ontap.GetLastError(message));
        EXPECT_EQ(fault.strMessage, message);
        // The client reads the last error only after a failure; a later
        // success leaves it as it was.
        EXPECT_TRUE(ontap.OpenConnection());
        ExpectLastError(ontap, 4242);
    }
}

TEST(ManageONTAP, SnapshotListAppendsOnlyOnSuccess) {
    ScriptedFault fault;
    fault.strOperation = "GetSnapShotList";
    fault.ullNth = 2;
    ManageONTAP ontap;
    ontap.AttachBackend(ScriptedBackend({fault}));
    std::vector<SnapShotInfo_t> list(1);
    list[0].strName = "kept";
    EXPECT_TRUE(ontap.GetSnapShotList(list, "/vol/v/a", 0, ""));
    EXPECT_FALSE(ontap.GetSnapShotList(list, "v", 0, ""));
    ASSERT_EQ(2u, list.size());
    EXPECT_EQ("kept", list[0].strName);
    EXPECT_EQ("s1", list[1].strName);
}

TEST(ArrayBackendFactory, ParsesFaultSettings) {
    const struct {
        std::string text, operation, volume, message;
        uint64_t nth;
        uint32_t code;
        bool drop;
    } cases[] = {
        {"SnapDiffNext 3 vol1 13999 message text", "SnapDiffNext", "vol1", "message text", 3, 13999,
         false},
        {"CreateOntapSnap 1 *", "CreateOntapSnap", "", "injected fault", 1, 13999, false},
        {"OpenConnection 2 * drop", "OpenConnection", "", "injected fault", 2, 13999, true},
        {"GetSnapShotList 1 /vol/p/a 13001 drop  link  down", "GetSnapShotList", "/vol/p/a",
         "link  down", 1, 13001, true},
        {"DeleteOntapSnap 4 v 17", "DeleteOntapSnap", "v", "injected fault", 4, 17, false},
        {"DeleteOntapSnap 4 v gone away", "DeleteOntapSnap", "v", "gone away", 4, 13999, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        ScriptedFault fault;
        std::string error;
        ASSERT_TRUE(ParseFaultSetting(c.text, fault, error)) << error;
        EXPECT_EQ(c.operation, fault.strOperation);
        EXPECT_EQ(c.volume, fault.strVolume);
        EXPECT_EQ(c.message, fault.strMessage);
        EXPECT_EQ(c.nth, fault.ullNth);
        EXPECT_EQ(c.code, fault.uiCode);
        EXPECT_EQ(c.drop, fault.bDropConnection);
    }
    for (const std::string text :
         {"", "Frobnicate 1 *", "SnapDiffNext 0 *", "SnapDiffNext -1 *", "SnapDiffNext x *",
          "SnapDiffNext 99999999999999999999999 *", "SnapDiffNext 2"}) {
        ScriptedFault fault;
        std::string error;
        EXPECT_FALSE(ParseFaultSetting(text, fault, error)) << text;
        EXPECT_NE(std::string::npos, error.find("fault [" + text + "]")) << error;
    }
}

TEST(ArrayBackendFactory, BuildsWhatTheConfigNames) {
    TempDir dir;
    testsupport::WriteFile(dir / "broken.json", "{\"snapshots\": [{\"volume\": 7}]}");
    const struct {
        std::string config;
        bool built;
        std::string errorPart;
    } cases[] = {
        {"[array]\nbackend = scripted\n", true, ""},
        {"[array]\nbackend = teleport\n", false, "teleport"},
        {"[array]\nbackend = scripted\n[faults]\nfault.1 = Nope 1 *\n", false, "fault.1"},
        {"[array]\nbackend = scripted\nscript = " + (dir / "broken.json") + "\n", false,
         "broken.json]: snapshots[0].volume: expected a string"},
        {"[array]\nbackend = scripted\nscript = " + (dir / "none.json") + "\n", false, "none.json"},
        {"[array]\nbackend = scripted\nsave_state = true\n", false, "needs [array] script"},
        {"[array]\nbackend = record\ninner = scripted\n", false, "record_to"},
        {"[array]\nbackend = record\ninner = record\nrecord_to = " + (dir / "r.json") + "\n", false,
         "[array] inner: unknown array back end [record]"},
        {"[array]\nbackend = scripted\ncalls_log = " + (dir / "no/such/calls.log") + "\n", false,
         "calls log"},
    };
    for (const auto& c : cases) {
        ScopedConfig config(c.config);
        std::string error;
        boost::shared_ptr<ArrayBackend> backend = CreateArrayBackend(NASArrayInfo(), error);
        EXPECT_EQ(c.built, backend != nullptr) << c.config;
        EXPECT_NE(std::string::npos, error.find(c.errorPart)) << error;
    }

    // An installed override wins over any config; without it the config rules again.
    ScopedConfig config("[array]\nbackend = teleport\n");
    auto installed = boost::make_shared<ScriptedArray>(ArrayScript());
    SetArrayBackendOverride([installed](const NASArrayInfo&) { return installed; });
    std::string error;
    EXPECT_EQ(installed, CreateArrayBackend(NASArrayInfo(), error));
    SetArrayBackendOverride(nullptr);
    EXPECT_FALSE(CreateArrayBackend(NASArrayInfo(), error));
}

// The [faults] settings wrap the configured back end (the nth call on one
// volume, named or as a path) and the calls log sees what the client saw.
TEST(ArrayBackendFactory, ConfigFaultsAndCallsLogWithoutCredentials) {
    TempDir dir;
    ArrayScript script;
    ScriptedSnapDiff& diff = script.mapSnapDiffs[std::make_tuple("v", "a", "b")];
    diff.vecBatches.resize(1);
    diff.vecBatches[0].vecChanges.resize(3);
    diff.vecBatches[0].bEnd = true;
    std::string error;
    ASSERT_TRUE(SaveArrayScript(dir / "array.json", script, error)) << error;
    ScopedConfig config("[array]\nbackend = scripted\nscript = " + (dir / "array.json") +
                        "\ncalls_log = " + (dir / "calls.log") +
                        "\n[faults]\nfault.1 = CreateOntapSnap 2 v 13001 link down\n");
    NASArrayInfo info;
    info.strUserName = "admin";
    info.strPassword = "pa55word";
    {
        ManageONTAP ontap;
        ontap.AttachBackend(CreateArrayBackend(info, error));
        ASSERT_TRUE(ontap.Backend()) << error;
        std::string handle;
        bool escaped, emptyAllowed, end;
        std::vector<SnapDiffFileInfo> batch;
        EXPECT_TRUE(ontap.OpenConnection());
        EXPECT_TRUE(ontap.CreateOntapSnap("/vol/v/a", "s1"));
        EXPECT_TRUE(ontap.CreateOntapSnap("other", "s2"));
        EXPECT_FALSE(ontap.CreateOntapSnap("v", "s\xff"));
        std::string message;
        EXPECT_EQ(13001u, ontap.GetLastError(message));
        EXPECT_EQ("link down", message);
        EXPECT_TRUE(ontap.SnapDiffStart("v", "a", "b", 10, "nfs", handle, escaped, emptyAllowed));
        EXPECT_TRUE(ontap.SnapDiffNext(handle, batch, end));
    }
    const std::string log = testsupport::ReadFile(dir / "calls.log");
    EXPECT_EQ(6, std::count(log.begin(), log.end(), '\n')) << log;
    EXPECT_EQ(std::string::npos, log.find("pa55word"));
    for (const char* line :
         {"{\"op\":\"CreateOntapSnap\",\"args\":{\"volume\":\"v\",\"name\":{\"hex\":\"73ff\"}},"
          "\"ok\":false,\"code\":13001,\"message\":\"link down\",\"out\":{}}",
          "\"op\":\"SnapDiffNext\",\"args\":{\"handle\":\"scripted-diff-1\"},\"ok\":true,"
          "\"code\":0,\"message\":\"\",\"out\":{\"batch_size\":3,\"end\":true}}"})
        EXPECT_NE(std::string::npos, log.find(line)) << log;
}

}  // namespace
