// ManageONTAP as the client sees it (last error, no back end) and the back
// end the config builds behind it (kinds, [faults] settings).
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

// Every ManageONTAP call that reports success as a bool, by name.
struct NamedCall {
    const char* name;
    std::function<bool(ManageONTAP&)> call;
};

std::vector<NamedCall> FailableCalls() {
    return {
        {"OpenConnection", [](ManageONTAP& m) { return m.OpenConnection(); }},
        {"GetFileServerVersion",
         [](ManageONTAP& m) {
             unsigned a, b, c;
             return m.GetFileServerVersion(a, b, c, false);
         }},
        {"GetActualStoragePathForNfsExport",
         [](ManageONTAP& m) {
             std::string path;
             return m.GetActualStoragePathForNfsExport("/vol/v/a", path);
         }},
        {"GetSnapShotList",
         [](ManageONTAP& m) {
             std::vector<SnapShotInfo_t> list;
             return m.GetSnapShotList(list, "v", 0, "s");
         }},
        {"CreateOntapSnap", [](ManageONTAP& m) { return m.CreateOntapSnap("v", "s9"); }},
        {"DeleteOntapSnap", [](ManageONTAP& m) { return m.DeleteOntapSnap("v", "s1", nullptr); }},
        {"SnapDiffStart",
         [](ManageONTAP& m) {
             std::string handle;
             bool escaped = true, emptyAllowed = false;
             return m.SnapDiffStart("v", "s1", "s2", 10, "nfs", handle, escaped, emptyAllowed);
         }},
        {"SnapDiffNext",
         [](ManageONTAP& m) {
             std::vector<SnapDiffFileInfo> batch;
             bool end = false;
             return m.SnapDiffNext("scripted-diff-1", batch, end);
         }},
        {"SnapDiffEnd", [](ManageONTAP& m) { return m.SnapDiffEnd("scripted-diff-1"); }},
    };
}

ArrayScript Script() {
    ArrayScript script;
    script.mapExports["/vol/v/a"] = "/vol/v/a";
    script.mapSnapshots["v"] = {"s1"};
    script.mapSnapDiffs[std::make_tuple("v", "s1", "s2")] = ScriptedSnapDiff();
    return script;
}

void ExpectLastError(ManageONTAP& ontap, uint32_t code, const std::string& name) {
    std::string message;
    MoErrCode_t error;
    ontap.GetLastError(error);
    EXPECT_EQ(code, ontap.GetLastError()) << name;
    EXPECT_EQ(code, ontap.GetLastError(message)) << name;
    EXPECT_EQ(message, error.strMessage) << name;
    EXPECT_EQ(code, error.uiCode) << name;
    EXPECT_FALSE(message.empty()) << name;
}

TEST(ManageONTAP, WithoutBackEndEveryCallFailsAsNotConnected) {
    ManageONTAP ontap;
    EXPECT_EQ(0u, ontap.GetLastError());
    for (const auto& c : FailableCalls()) {
        EXPECT_FALSE(c.call(ontap)) << c.name;
        ExpectLastError(ontap, kArrayErrNotConnected, c.name);
    }
    EXPECT_FALSE(ontap.IsCluster());
    EXPECT_FALSE(ontap.IsClusterInterface());
}

TEST(ManageONTAP, FailedCallSetsLastErrorAndSuccessKeepsIt) {
    for (const auto& c : FailableCalls()) {
        ScriptedFault fault;
        fault.strOperation = c.name;
        fault.uiCode = 4242;
        fault.strMessage = std::string("refused ") + c.name;
        auto backend = boost::make_shared<FaultInjectingBackend>(
            boost::make_shared<ScriptedArray>(Script()), std::vector<ScriptedFault>{fault});
        ManageONTAP ontap;
        ontap.AttachBackend(backend);
        EXPECT_FALSE(c.call(ontap)) << c.name;
        std::string message;
        EXPECT_EQ(4242u, ontap.GetLastError(message)) << c.name;
        EXPECT_EQ(fault.strMessage, message);
        // The client reads the last error only after a failure; a later
        // success leaves it as it was.
        EXPECT_TRUE(ontap.OpenConnection());
        ExpectLastError(ontap, 4242, c.name);
    }
}

TEST(ManageONTAP, SnapshotListAppendsOnlyOnSuccess) {
    auto backend = boost::make_shared<FaultInjectingBackend>(
        boost::make_shared<ScriptedArray>(Script()), std::vector<ScriptedFault>());
    ScriptedFault fault;
    fault.strOperation = "GetSnapShotList";
    fault.ullNth = 2;
    backend->AddFault(fault);
    ManageONTAP ontap;
    ontap.AttachBackend(backend);
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
        std::string text;
        std::string operation, volume, message;
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
        ScriptedFault fault;
        std::string error;
        ASSERT_TRUE(ParseFaultSetting(c.text, fault, error)) << c.text << ": " << error;
        EXPECT_EQ(c.operation, fault.strOperation) << c.text;
        EXPECT_EQ(c.volume, fault.strVolume) << c.text;
        EXPECT_EQ(c.message, fault.strMessage) << c.text;
        EXPECT_EQ(c.nth, fault.ullNth) << c.text;
        EXPECT_EQ(c.code, fault.uiCode) << c.text;
        EXPECT_EQ(c.drop, fault.bDropConnection) << c.text;
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
}

TEST(ArrayBackendFactory, ConfigFaultsWrapTheBackEnd) {
    ScopedConfig config(
        "[array]\nbackend = scripted\n[faults]\n"
        "fault.1 = CreateOntapSnap 2 projects 13777 array is busy\n");
    std::string error;
    ManageONTAP ontap;
    ontap.AttachBackend(CreateArrayBackend(NASArrayInfo(), error));
    ASSERT_TRUE(ontap.Backend()) << error;
    EXPECT_TRUE(ontap.CreateOntapSnap("/vol/projects/a", "s1"));
    EXPECT_TRUE(ontap.CreateOntapSnap("other", "s2"));
    EXPECT_FALSE(ontap.CreateOntapSnap("projects", "s3"));
    std::string message;
    EXPECT_EQ(13777u, ontap.GetLastError(message));
    EXPECT_EQ("array is busy", message);
}

TEST(ArrayBackendFactory, ScriptedStateIsSavedForTheNextJob) {
    TempDir dir;
    const std::string script = dir / "array.json";
    ArrayScript initial;
    initial.mapSnapshots["projects"] = {"VKOP_2_15_811"};
    std::string error;
    ASSERT_TRUE(SaveArrayScript(script, initial, error)) << error;
    ScopedConfig config("[array]\nbackend = scripted\nsave_state = true\nscript = " + script +
                        "\n");
    // Two jobs in a row, each with its own back end, as two agent runs.
    for (const std::string snapshot : {"VKOP_2_15_812", "VKOP_2_15_813"}) {
        ManageONTAP ontap;
        ontap.AttachBackend(CreateArrayBackend(NASArrayInfo(), error));
        ASSERT_TRUE(ontap.Backend()) << error;
        EXPECT_TRUE(ontap.CreateOntapSnap("/vol/projects/a", snapshot));
        EXPECT_EQ(snapshot == "VKOP_2_15_812",
                  ontap.DeleteOntapSnap("projects", "VKOP_2_15_811", nullptr));
    }
    ArrayScript saved;
    ASSERT_TRUE(LoadArrayScript(script, saved, error)) << error;
    EXPECT_EQ((std::set<std::string>{"VKOP_2_15_812", "VKOP_2_15_813"}),
              saved.mapSnapshots["projects"]);
}

TEST(ArrayBackendFactory, CallsLogHasOneLinePerCallWithoutCredentials) {
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
                        "\n[faults]\nfault.1 = CreateOntapSnap 1 * 13001 link down\n");
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
        EXPECT_FALSE(ontap.CreateOntapSnap("v", "s\xff"));
        EXPECT_TRUE(ontap.SnapDiffStart("v", "a", "b", 10, "nfs", handle, escaped, emptyAllowed));
        EXPECT_TRUE(ontap.SnapDiffNext(handle, batch, end));
    }
    const std::string log = testsupport::ReadFile(dir / "calls.log");
    EXPECT_EQ(4, std::count(log.begin(), log.end(), '\n')) << log;
    EXPECT_EQ(std::string::npos, log.find("pa55word"));
    EXPECT_NE(
        std::string::npos,
        log.find("{\"op\":\"CreateOntapSnap\",\"args\":{\"volume\":\"v\",\"name\":{\"hex\":"
                 "\"73ff\"}},\"ok\":false,\"code\":13001,\"message\":\"link down\",\"out\":{}}"))
        << log;
    EXPECT_NE(std::string::npos,
              log.find("\"op\":\"SnapDiffNext\",\"args\":{\"handle\":\"scripted-diff-1\"},"
                       "\"ok\":true,\"code\":0,\"message\":\"\",\"out\":{\"batch_size\":3,"
                       "\"end\":true}}"))
        << log;
}

TEST(ArrayBackendFactory, RecordOnAScriptedArrayWritesAReplayableScript) {
    TempDir dir;
    ArrayScript script;
    script.mapSnapshots["projects"] = {"VKOP_2_15_811", "VKOP_9_9_9"};
    std::string error;
    ASSERT_TRUE(SaveArrayScript(dir / "array.json", script, error)) << error;
    {
        ScopedConfig config("[array]\nbackend = record\ninner = scripted\nscript = " +
                            (dir / "array.json") + "\nrecord_to = " + (dir / "rec.json") + "\n");
        ManageONTAP ontap;
        ontap.AttachBackend(CreateArrayBackend(NASArrayInfo(), error));
        ASSERT_TRUE(ontap.Backend()) << error;
        std::vector<SnapShotInfo_t> listed;
        EXPECT_TRUE(ontap.GetSnapShotList(listed, "projects", 0, "VKOP_2_15_"));
        EXPECT_TRUE(ontap.CreateOntapSnap("projects", "VKOP_2_15_812"));
    }
    ScopedConfig replay("[array]\nbackend = scripted\nscript = " + (dir / "rec.json") + "\n");
    ManageONTAP ontap;
    ontap.AttachBackend(CreateArrayBackend(NASArrayInfo(), error));
    ASSERT_TRUE(ontap.Backend()) << error;
    std::vector<SnapShotInfo_t> listed;
    EXPECT_TRUE(ontap.GetSnapShotList(listed, "projects", 0, "VKOP_2_15_"));
    ASSERT_EQ(1u, listed.size());
    EXPECT_EQ("VKOP_2_15_811", listed[0].strName);
    EXPECT_TRUE(ontap.CreateOntapSnap("projects", "VKOP_2_15_812"));
}

TEST(ArrayBackendFactory, OverrideWinsOverTheConfig) {
    ScopedConfig config("[array]\nbackend = teleport\n");
    auto installed = boost::make_shared<ScriptedArray>(ArrayScript());
    SetArrayBackendOverride([installed](const NASArrayInfo&) { return installed; });
    std::string error;
    EXPECT_EQ(installed, CreateArrayBackend(NASArrayInfo(), error));
    SetArrayBackendOverride(nullptr);
    EXPECT_FALSE(CreateArrayBackend(NASArrayInfo(), error));
}

}  // namespace
