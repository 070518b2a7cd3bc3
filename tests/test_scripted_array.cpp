// The scripted array, the fault decorator, the script document and the
// recorder, driven as the client drives them: through ManageONTAP.
#include "array/FaultInjectingBackend.h"
#include "array/RecordingBackend.h"
#include "array/ScriptJson.h"
#include "array/ScriptedArray.h"
#include "host/ManageONTAP.h"
#include "tests/support/TestSupport.h"

#include <algorithm>
#include <boost/make_shared.hpp>
#include <gtest/gtest.h>
#include <unistd.h>

namespace {

SnapDiffFileInfo Change(uint64_t inode, const std::string& name) {
    SnapDiffFileInfo change;
    change.ullInode = inode;
    change.uiFileType = 1;
    change.strChangeType = "modified";
    change.strFileName = name;
    return change;
}

ScriptedBatch Batch(std::vector<SnapDiffFileInfo> changes, bool end) {
    ScriptedBatch batch;
    batch.vecChanges = std::move(changes);
    batch.bEnd = end;
    return batch;
}

ScriptedFault Fault(const std::string& operation, uint64_t nth, const std::string& volume,
                    bool drop = false) {
    ScriptedFault fault;
    fault.strOperation = operation;
    fault.ullNth = nth;
    fault.strVolume = volume;
    fault.uiCode = 13500;
    fault.strMessage = "boom";
    fault.bDropConnection = drop;
    return fault;
}

std::vector<std::string> Names(const std::vector<SnapShotInfo_t>& snapshots) {
    std::vector<std::string> names;
    for (const auto& s : snapshots) names.push_back(s.strName);
    return names;
}

struct Harness {
    explicit Harness(const ArrayScript& script, std::vector<ScriptedFault> faults = {})
        : array(boost::make_shared<ScriptedArray>(script)),
          faulty(boost::make_shared<FaultInjectingBackend>(array, faults)) {
        ontap.AttachBackend(faulty);
    }
    std::string Start(const std::string& volume, const std::string& base,
                      const std::string& incremental, unsigned long maxItems) {
        std::string handle;
        EXPECT_TRUE(ontap.SnapDiffStart(volume, base, incremental, maxItems, "nfs", handle,
                                        escaped, emptyAllowed))
            << ontap.GetLastError();
        return handle;
    }
    // Pulls batches until the end flag: each batch's size, or minus the
    // error code of a failed call. The changes pulled are kept.
    std::vector<long long> Pull(const std::string& handle) {
        std::vector<long long> seen;
        bool end = false;
        while (!end && seen.size() < 20) {
            std::vector<SnapDiffFileInfo> batch;
            if (ontap.SnapDiffNext(handle, batch, end))
                seen.push_back(static_cast<long long>(batch.size()));
            else
                seen.push_back(-static_cast<long long>(ontap.GetLastError()));
            pulled.insert(pulled.end(), batch.begin(), batch.end());
        }
        return seen;
    }
    boost::shared_ptr<ScriptedArray> array;
    boost::shared_ptr<FaultInjectingBackend> faulty;
    ManageONTAP ontap;
    bool escaped = true, emptyAllowed = false;
    std::vector<SnapDiffFileInfo> pulled;
};

using Pulled = std::vector<long long>;

ArrayScript SnapshotScript() {
    ArrayScript script;
    script.mapSnapshots["projects"] = {"VKOP_2_15_811", "VKOP_2_15_810", "VKOP_3_15_1", "other"};
    script.mapExports["/vol/projects/a"] = "/vol/projects/a";
    return script;
}

TEST(ScriptedArray, SnapshotsExportsAndConnection) {
    ArrayScript script = SnapshotScript();
    script.bOpenConnectionOk = false;
    script.uiVersion[1] = 13;
    Harness h(script);
    // A volume path and a volume name reach the same snapshots.
    EXPECT_TRUE(h.ontap.CreateOntapSnap("/vol/projects/a", "VKOP_2_15_812"));
    EXPECT_FALSE(h.ontap.CreateOntapSnap("projects", "VKOP_2_15_812"));
    EXPECT_EQ(104u, h.ontap.GetLastError());
    std::vector<SnapShotInfo_t> listed;
    ASSERT_TRUE(h.ontap.GetSnapShotList(listed, "/vol/projects/b", 0, "VKOP_2_15_"));
    EXPECT_EQ((std::vector<std::string>{"VKOP_2_15_810", "VKOP_2_15_811", "VKOP_2_15_812"}),
              Names(listed));
    EXPECT_EQ("projects", listed[0].strVolume);

    bool busy = true;
    EXPECT_TRUE(h.ontap.DeleteOntapSnap("projects", "VKOP_2_15_810", &busy));
    EXPECT_FALSE(busy);
    for (const char* volume : {"projects", "novolume"}) {
        EXPECT_FALSE(h.ontap.DeleteOntapSnap(volume, "VKOP_2_15_810", nullptr));
        EXPECT_EQ(kArrayErrNotFound, h.ontap.GetLastError());
    }

    // The export is known whatever trailing "/" the client writes; a longer
    // path is another export.
    for (const char* exportPath : {"/vol/projects/a", "/vol/projects/a/", "/vol/projects/a//"}) {
        std::string volumePath;
        EXPECT_TRUE(h.ontap.GetActualStoragePathForNfsExport(exportPath, volumePath)) << exportPath;
        EXPECT_EQ("/vol/projects/a", volumePath);
    }
    for (const char* exportPath : {"/vol/projects/ab", "/vol/projects/zz", "/"}) {
        std::string volumePath;
        EXPECT_FALSE(h.ontap.GetActualStoragePathForNfsExport(exportPath, volumePath));
        EXPECT_EQ(kArrayErrNotFound, h.ontap.GetLastError());
    }

    // A volume the script does not name appears on first use.
    listed.clear();
    EXPECT_TRUE(h.ontap.GetSnapShotList(listed, "fresh", 0, ""));
    EXPECT_TRUE(listed.empty());
    EXPECT_TRUE(h.ontap.CreateOntapSnap("fresh", "s1"));
    EXPECT_EQ(std::set<std::string>{"s1"}, h.array->Script().mapSnapshots.at("fresh"));

    EXPECT_FALSE(h.ontap.OpenConnection());
    EXPECT_EQ(kArrayErrNotConnected, h.ontap.GetLastError());
    unsigned major = 0, minor = 0, third = 0;
    EXPECT_TRUE(h.ontap.GetFileServerVersion(major, minor, third, false));
    EXPECT_EQ((std::vector<unsigned>{9, 13, 0}), (std::vector<unsigned>{major, minor, third}));
}

TEST(ScriptedArray, RefusesNamesThatCannotBeSnapshots) {
    Harness h(SnapshotScript());
    const struct {
        std::string volume, name;
    } cases[] = {{"projects", ""},    {"projects", "."},   {"projects", ".."},
                 {"projects", "a/b"}, {"projects", std::string("a\0b", 3)}, {"", "ok"}};
    for (const auto& c : cases) {
        EXPECT_FALSE(h.ontap.CreateOntapSnap(c.volume, c.name)) << c.name;
        EXPECT_EQ(kArrayErrInvalidArgument, h.ontap.GetLastError()) << c.name;
    }
    EXPECT_EQ(4u, h.array->Script().mapSnapshots.at("projects").size());
}

ArrayScript DiffScript() {
    ArrayScript script;
    ScriptedSnapDiff diff;
    diff.bEscapedNames = false;
    diff.bEmptyBatchesAllowed = true;
    diff.vecBatches = {
        Batch({Change(1, "a"), Change(2, "b"), Change(3, "c"), Change(4, "d"), Change(5, "e")},
              false),
        Batch({}, false), ScriptedBatch{true, 14999, "batch broke", {}, false},
        Batch({Change(6, "f")}, false)};
    script.mapSnapDiffs[std::make_tuple("projects", "s1", "s2")] = diff;
    ScriptedSnapDiff refused;
    refused.bStartOk = false;
    refused.uiStartCode = 14506;
    refused.strStartMessage = "all sessions in use";
    script.mapSnapDiffs[std::make_tuple("projects", "s0", "s1")] = refused;
    return script;
}

TEST(ScriptedArray, SnapDiffBatchesAreSplitByMaxItemsAndReplayOnNewStart) {
    Harness h(DiffScript());
    const std::string handle = h.Start("/vol/projects/a", "s1", "s2", 2);
    EXPECT_FALSE(h.escaped);
    EXPECT_TRUE(h.emptyAllowed);
    // Five changes with at most two per batch, the empty batch, a failing
    // batch that fails the call while the session goes on, and the end.
    EXPECT_EQ((Pulled{2, 2, 1, 0, -14999, 1, 0}), h.Pull(handle));
    std::string message;
    h.ontap.GetLastError(message);
    EXPECT_EQ("batch broke", message);

    // The session ended with the end flag: the handle is refused now.
    std::vector<SnapDiffFileInfo> batch;
    bool end = false;
    EXPECT_FALSE(h.ontap.SnapDiffNext(handle, batch, end));
    EXPECT_EQ(kArrayErrBadHandle, h.ontap.GetLastError());
    EXPECT_FALSE(h.ontap.SnapDiffEnd(handle));
    EXPECT_EQ(kArrayErrBadHandle, h.ontap.GetLastError());

    // A new start on the same key replays from the first batch.
    const std::string again = h.Start("projects", "s1", "s2", 10);
    EXPECT_NE(handle, again);
    ASSERT_TRUE(h.ontap.SnapDiffNext(again, batch, end));
    ASSERT_EQ(5u, batch.size());
    EXPECT_EQ("a", batch[0].strFileName);
    EXPECT_TRUE(h.ontap.SnapDiffEnd(again));
    EXPECT_EQ(0u, h.array->OpenSessions());
}

TEST(ScriptedArray, SnapDiffStartFailures) {
    Harness h(DiffScript());
    std::string handle, message;
    bool escaped = true, emptyAllowed = false;
    const struct {
        std::string volume, base, incremental;
        unsigned long maxItems;
        uint32_t code;
    } cases[] = {
        {"projects", "s0", "s1", 10, 14506},              // scripted refusal
        {"projects", "s2", "s1", 10, kArrayErrNotFound},  // no answer for this key
        {"other", "s1", "s2", 10, kArrayErrNotFound},
        {"projects", "s1", "s2", 0, kArrayErrInvalidArgument},
    };
    for (const auto& c : cases) {
        EXPECT_FALSE(h.ontap.SnapDiffStart(c.volume, c.base, c.incremental, c.maxItems, "nfs",
                                           handle, escaped, emptyAllowed));
        EXPECT_EQ(c.code, h.ontap.GetLastError(message)) << c.base << " " << message;
    }
    EXPECT_EQ(0u, h.array->OpenSessions());
}

TEST(ScriptedArray, GeneratedAnswersAreSplitAndCanFail) {
    ArrayScript script;
    ScriptedSnapDiff diff;
    // Three batches of three changes; batch 1 fails; the last ends the run.
    // The generator ignores maxItems on purpose: the array still splits.
    diff.generator = [](size_t index, unsigned long, ScriptedBatch& batch) {
        if (index == 1) return false;
        for (uint64_t i = 0; i < 3; ++i) batch.vecChanges.push_back(Change(index * 10 + i, "g"));
        batch.bEnd = index == 2;
        return true;
    };
    script.mapSnapDiffs[std::make_tuple("v", "a", "b")] = diff;
    Harness h(script);
    EXPECT_EQ((Pulled{2, 1, -static_cast<long long>(kArrayErrInternal), 2, 1}),
              h.Pull(h.Start("v", "a", "b", 2)));
    EXPECT_EQ(0u, h.array->OpenSessions());
}

TEST(FaultInjection, NthCallOfAnOperationOptionallyPerVolume) {
    // Each row: the fault, then the volumes of successive CreateOntapSnap
    // calls and which of them must fail.
    const struct {
        ScriptedFault fault;
        std::vector<std::string> volumes;
        std::vector<bool> fails;
    } cases[] = {
        {Fault("CreateOntapSnap", 2, ""), {"a", "b", "a"}, {0, 1, 0}},
        {Fault("CreateOntapSnap", 2, "b"), {"b", "a", "a", "/vol/b/x"}, {0, 0, 0, 1}},
        {Fault("CreateOntapSnap", 1, "/vol/a/share"), {"b", "a", "a"}, {0, 1, 0}},
        {Fault("DeleteOntapSnap", 1, ""), {"a", "b"}, {0, 0}},
    };
    for (const auto& c : cases) {
        Harness h(ArrayScript(), {c.fault});
        for (size_t i = 0; i < c.volumes.size(); ++i) {
            SCOPED_TRACE(c.fault.strOperation + " " + c.fault.strVolume + " call " +
                         std::to_string(i));
            const std::string name = "s" + std::to_string(i);
            EXPECT_EQ(!c.fails[i], h.ontap.CreateOntapSnap(c.volumes[i], name));
            if (!c.fails[i]) continue;
            EXPECT_EQ(13500u, h.ontap.GetLastError());
            // The injected failure never reached the array.
            auto& snapshots = h.array->MutableScript().mapSnapshots;
            EXPECT_EQ(0u, snapshots[VolumeNameOfArgument(c.volumes[i])].count(name));
        }
        EXPECT_EQ(c.volumes.size(), h.faulty->CallCount("CreateOntapSnap"));
    }
}

TEST(FaultInjection, DroppedConnectionFailsEveryLaterCall) {
    Harness h(SnapshotScript(), {Fault("GetSnapShotList", 1, "", true)});
    EXPECT_TRUE(h.ontap.OpenConnection());
    std::vector<SnapShotInfo_t> listed;
    EXPECT_FALSE(h.ontap.GetSnapShotList(listed, "projects", 0, ""));
    EXPECT_EQ(13500u, h.ontap.GetLastError());
    EXPECT_FALSE(h.ontap.OpenConnection());
    EXPECT_EQ(kArrayErrNotConnected, h.ontap.GetLastError());
    EXPECT_FALSE(h.ontap.CreateOntapSnap("projects", "x"));
    EXPECT_EQ(kArrayErrNotConnected, h.ontap.GetLastError());
    EXPECT_TRUE(h.ontap.IsCluster());  // a bool answer cannot fail
    EXPECT_EQ(1u, h.faulty->CallCount("IsCluster"));
}

TEST(FaultInjection, SnapDiffCallsCountByTheSessionVolumeAndAreRecorded) {
    ArrayScript script;
    ScriptedSnapDiff diff;
    diff.vecBatches = {Batch({Change(1, "a")}, false), Batch({Change(2, "b")}, true)};
    script.mapSnapDiffs[std::make_tuple("v1", "a", "b")] = diff;
    script.mapSnapDiffs[std::make_tuple("v2", "a", "b")] = diff;
    Harness h(script, {Fault("SnapDiffNext", 2, "v2")});
    const std::string h1 = h.Start("/vol/v1/x", "a", "b", 5);
    const std::string h2 = h.Start("/vol/v2/x", "a", "b", 5);
    EXPECT_EQ((Pulled{1, 1}), h.Pull(h1));
    // The faulted call never reached the array, so a retry gets that batch.
    h.pulled.clear();
    EXPECT_EQ((Pulled{1, -13500, 1}), h.Pull(h2));
    ASSERT_EQ(2u, h.pulled.size());
    EXPECT_EQ(2u, h.pulled[1].ullInode);

    const auto& calls = h.faulty->Calls();
    ASSERT_EQ(7u, calls.size());
    EXPECT_EQ("SnapDiffStart", calls[0].strOperation);
    EXPECT_EQ((std::vector<std::string>{"/vol/v1/x", "a", "b", "5", "nfs"}), calls[0].vecArguments);
    EXPECT_EQ((std::vector<std::string>{h2, "v2"}), calls[5].vecArguments);
    EXPECT_FALSE(calls[5].bOk);
    EXPECT_EQ(13500u, calls[5].uiCode);
}

TEST(ScriptJson, RoundTripKeepsEveryByte) {
    ArrayScript original = DiffScript();
    original.bCluster = false;
    original.bClusterInterface = true;
    original.uiVersion[1] = 13;
    original.strArrayName = "filer\xff";
    original.mapExports["/vol/projects/\xe9t\xe9"] = "/vol/projects/\xe9t\xe9";
    original.mapSnapshots["projects"] = {"VKOP_1_2_3", std::string("nul\0name", 8), "caf\xc3\xa9"};
    auto& changes =
        original.mapSnapDiffs[std::make_tuple("projects", "s1", "s2")].vecBatches[0].vecChanges;
    changes[0].ullInode = UINT64_MAX;
    changes[0].llMtime = -5;
    changes[1].strFileName = "bad\x80name";
    original.vecFaults.push_back(Fault("SnapDiffNext", 3, "/vol/projects/a", true));

    std::string text, error, again;
    ASSERT_TRUE(ArrayScriptToJson(original, text, error)) << error;
    // Bytes that are not UTF-8 go as hex; valid UTF-8 stays readable.
    EXPECT_NE(std::string::npos, text.find("\"hex\": \"626164806e616d65\""));
    EXPECT_NE(std::string::npos, text.find("caf\xc3\xa9"));
    ArrayScript loaded;
    ASSERT_TRUE(ParseArrayScript(text, loaded, error)) << error;
    ASSERT_TRUE(ArrayScriptToJson(loaded, again, error));
    EXPECT_EQ(text, again);
    EXPECT_EQ(original.mapSnapshots, loaded.mapSnapshots);
    EXPECT_EQ(original.mapExports, loaded.mapExports);
    EXPECT_EQ("filer\xff", loaded.strArrayName);
    EXPECT_FALSE(loaded.bCluster);
    const auto& batch = loaded.mapSnapDiffs.at(std::make_tuple("projects", "s1", "s2")).vecBatches;
    EXPECT_EQ(UINT64_MAX, batch[0].vecChanges[0].ullInode);
    EXPECT_EQ(-5, batch[0].vecChanges[0].llMtime);
    EXPECT_EQ("bad\x80name", batch[0].vecChanges[1].strFileName);
    EXPECT_TRUE(batch[2].bFail);
    EXPECT_EQ(14999u, batch[2].uiCode);
    ASSERT_EQ(1u, loaded.vecFaults.size());
    EXPECT_TRUE(loaded.vecFaults[0].bDropConnection);
    EXPECT_EQ(3u, loaded.vecFaults[0].ullNth);
}

TEST(ScriptJson, MalformedDocumentsGiveOneClearError) {
    const struct {
        std::string text, errorPart;
    } cases[] = {
        {"{\"cluster\": 1}", "cluster: expected true or false"},
        {"{\"version\": [9, 8]}", "version: expected [major, minor, third]"},
        {"{\"version\": [9, -1, 0]}", "version[1]"},
        {"{\"exports\": {}}", "exports: expected an array"},
        {"{\"exports\": [{\"export\": \"/a\"}]}", "exports[0]: \"volume_path\" is missing"},
        {"{\"snapshots\": [{\"volume\": \"v\", \"names\": [{\"hex\": \"abc\"}]}]}",
         "snapshots[0].names[0]: expected a string or"},
        {"{\"snapshots\": [{\"volume\": \"v\"}, {\"volume\": \"v\"}]}", "listed twice"},
        {"{\"snapdiffs\": [{\"volume\": \"v\", \"base\": \"a\"}]}",
         "snapdiffs[0]: \"incremental\" is missing"},
        {"{\"snapdiffs\": [{\"volume\": \"v\", \"base\": \"a\", \"incremental\": \"b\", "
         "\"batches\": [{\"changes\": [{\"inode\": -1}]}]}]}",
         "snapdiffs[0].batches[0].changes[0].inode: expected a whole number from 0"},
        {"{\"snapdiffs\": [{\"volume\": \"v\", \"base\": \"a\", \"incremental\": \"b\", "
         "\"batches\": [{\"changes\": [{\"mtime\": 1.5}]}]}]}",
         "changes[0].mtime: expected a whole number"},
        {"{\"snapdiffs\": [{\"volume\": \"v\", \"base\": \"a\", \"incremental\": \"b\"},"
         "{\"volume\": \"v\", \"base\": \"a\", \"incremental\": \"b\"}]}",
         "snapdiffs[1]: a second answer"},
        {"{\"snapdiffs\": [{\"volume\": \"v\", \"base\": \"a\", \"incremental\": \"b\", "
         "\"batches\": [{\"fail\": true, \"code\": 4294967296}]}]}",
         "batches[0].code: number too large"},
        {"{\"faults\": [{\"operation\": \"SnapDiffNext\", \"nth\": 0}]}",
         "faults[0].nth: calls are counted from 1"},
        {"{\"faults\": [{\"nth\": 2}]}", "faults[0]: \"operation\" is missing"},
    };
    for (const auto& c : cases) {
        ArrayScript script = SnapshotScript();
        std::string error;
        EXPECT_FALSE(ParseArrayScript(c.text, script, error)) << c.text;
        EXPECT_NE(std::string::npos, error.find(c.errorPart)) << c.text << " -> " << error;
        EXPECT_EQ(SnapshotScript().mapSnapshots, script.mapSnapshots) << "changed by: " << c.text;
    }
}

TEST(ScriptJson, SaveIsAtomicAndRefusesWhatItCannotWrite) {
    testsupport::TempDir dir;
    const std::string path = dir / "array.json";
    std::string error;
    ASSERT_TRUE(SaveArrayScript(path, SnapshotScript(), error)) << error;
    ArrayScript generated;
    generated.mapSnapDiffs[std::make_tuple("v", "a", "b")].generator =
        [](size_t, unsigned long, ScriptedBatch&) { return true; };
    EXPECT_FALSE(SaveArrayScript(path, generated, error));
    EXPECT_NE(std::string::npos, error.find("generated")) << error;
    EXPECT_FALSE(SaveArrayScript(dir / "missing/array.json", SnapshotScript(), error));
    EXPECT_NE(std::string::npos, error.find("missing/array.json")) << error;
    ArrayScript loaded;
    EXPECT_FALSE(LoadArrayScript(dir / "absent.json", loaded, error));
    EXPECT_NE(std::string::npos, error.find("absent.json")) << error;
    // The failed saves left the last good document and no temporary file.
    ASSERT_TRUE(LoadArrayScript(path, loaded, error)) << error;
    EXPECT_EQ(SnapshotScript().mapSnapshots, loaded.mapSnapshots);
    EXPECT_FALSE(testsupport::FileExists(path + ".tmp." + std::to_string(getpid())));
}

// A job's worth of array calls, failures and retries included (the whole
// job transcripts replay a recorded job without failures); every answer
// the client could see, as text.
std::vector<std::string> DriveJob(ManageONTAP& ontap) {
    std::vector<std::string> seen;
    auto note = [&](const std::string& what, bool ok) {
        std::string message;
        const unsigned code = ok ? 0 : ontap.GetLastError(message);
        seen.push_back(what + (ok ? " ok" : " fail " + std::to_string(code) + " " + message));
    };
    note("open", ontap.OpenConnection());
    auto list = [&]() {
        std::vector<SnapShotInfo_t> listed;
        note("list", ontap.GetSnapShotList(listed, "/vol/projects/a", 0, "VKOP_2_15_"));
        for (const auto& s : listed) note("listed " + s.strName, true);
    };
    list();
    note("create 812", ontap.CreateOntapSnap("/vol/projects/a", "VKOP_2_15_812"));
    note("create 811 again", ontap.CreateOntapSnap("projects", "VKOP_2_15_811"));
    note("delete 810", ontap.DeleteOntapSnap("projects", "VKOP_2_15_810", nullptr));
    note("delete 809", ontap.DeleteOntapSnap("projects", "VKOP_2_15_809", nullptr));
    list();
    for (int attempt = 0; attempt < 2; ++attempt) {
        std::string handle;
        bool escaped = true, emptyAllowed = false, end = false;
        note("start", ontap.SnapDiffStart("/vol/projects/a", "s1", "s2", 2, "nfs", handle, escaped,
                                          emptyAllowed));
        while (!end) {
            std::vector<SnapDiffFileInfo> batch;
            const bool ok = ontap.SnapDiffNext(handle, batch, end);
            std::string inodes;
            for (const auto& c : batch) inodes += " " + std::to_string(c.ullInode) + c.strFileName;
            note("next" + inodes + (end ? " end" : ""), ok);
            if (!ok && attempt == 0) break;  // the retry pulls past the failure
        }
        note("end", ontap.SnapDiffEnd(handle));
    }
    std::string handle;
    bool escaped, emptyAllowed;
    note("refused start",
         ontap.SnapDiffStart("projects", "s0", "s1", 2, "nfs", handle, escaped, emptyAllowed));
    return seen;
}

TEST(RecordingBackend, ReplayGivesTheSameAnswers) {
    ArrayScript script = DiffScript();
    script.mapExports["/vol/projects/a"] = "/vol/projects/a";
    script.mapSnapshots["projects"] = {"VKOP_2_15_810", "VKOP_2_15_811", "VKOP_3_1_1"};
    script.vecFaults = {Fault("SnapDiffNext", 2, ""), Fault("OpenConnection", 1, "")};
    testsupport::TempDir dir;
    const std::string recording = dir / "recorded.json";
    std::vector<std::string> live;
    {
        auto inner = boost::make_shared<FaultInjectingBackend>(
            boost::make_shared<ScriptedArray>(script), script.vecFaults);
        ManageONTAP ontap;
        ontap.AttachBackend(
            boost::make_shared<RecordingBackend>(inner, recording, "filer1", "client1"));
        live = DriveJob(ontap);
    }  // the recording is written here
    ArrayScript recorded;
    std::string error;
    ASSERT_TRUE(LoadArrayScript(recording, recorded, error)) << error;
    // Snapshots as they were before the job: 812 created, 810 deleted by it;
    // 809 never existed, and VKOP_3_1_1 was never seen.
    EXPECT_EQ((std::set<std::string>{"VKOP_2_15_810", "VKOP_2_15_811"}),
              recorded.mapSnapshots["projects"]);

    Harness replay(recorded, recorded.vecFaults);
    EXPECT_EQ(live, DriveJob(replay.ontap));
    // The live run really went through failures and a retry.
    for (const char* line : {"open fail 13500 boom", "next fail 13500 boom", "next end ok",
                             "refused start fail 14506 all sessions in use"})
        EXPECT_NE(live.end(), std::find(live.begin(), live.end(), line)) << line;
}

TEST(ScriptJson, DocumentedExampleLoadsAndAnswers) {
    const std::string source = SNAPCLIENT_SOURCE_DIR;
    const std::string example = source + "/tests/data/scripts/example.json";
    // The document shows the example file verbatim.
    const std::string doc = testsupport::ReadFile(source + "/docs/scripted-array.md");
    EXPECT_NE(std::string::npos, doc.find("```json\n" + testsupport::ReadFile(example) + "```"))
        << "docs out of date";

    ArrayScript script;
    std::string error;
    ASSERT_TRUE(LoadArrayScript(example, script, error)) << error;
    Harness h(script, script.vecFaults);
    std::vector<SnapShotInfo_t> listed;
    ASSERT_TRUE(h.ontap.GetSnapShotList(listed, "/vol/projects/a", 0, "VKOP_"));
    EXPECT_EQ((std::vector<std::string>{"VKOP_2_15_811", "VKOP_\xff"}), Names(listed));
    h.escaped = false;
    h.emptyAllowed = true;
    const std::string handle = h.Start("/vol/projects/a", "VKOP_2_15_811", "VKOP_2_15_812", 100);
    EXPECT_TRUE(h.escaped);
    EXPECT_FALSE(h.emptyAllowed);
    // The scripted failing batch, then the scripted fault on the third call.
    EXPECT_EQ((Pulled{2, -13999, -13001, 0}), h.Pull(handle));
    ASSERT_EQ(2u, h.pulled.size());
    EXPECT_EQ("/a/n\xff", h.pulled[1].strFileName);
    std::string refused;
    EXPECT_FALSE(h.ontap.SnapDiffStart("projects", "VKOP_2_15_810", "VKOP_2_15_811", 100, "nfs",
                                       refused, h.escaped, h.emptyAllowed));
    EXPECT_EQ(14506u, h.ontap.GetLastError());
}

}  // namespace
