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

ScriptedBatch FailingBatch(uint32_t code, const std::string& message) {
    ScriptedBatch batch;
    batch.bFail = true;
    batch.uiCode = code;
    batch.strMessage = message;
    return batch;
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
    // Pulls batches until the end flag; the batch sizes in order.
    std::vector<size_t> Drain(const std::string& handle) {
        std::vector<size_t> sizes;
        bool end = false;
        while (!end) {
            std::vector<SnapDiffFileInfo> batch;
            EXPECT_TRUE(ontap.SnapDiffNext(handle, batch, end)) << ontap.GetLastError();
            if (::testing::Test::HasFailure()) break;
            sizes.push_back(batch.size());
        }
        return sizes;
    }
    boost::shared_ptr<ScriptedArray> array;
    boost::shared_ptr<FaultInjectingBackend> faulty;
    ManageONTAP ontap;
};

ArrayScript SnapshotScript() {
    ArrayScript script;
    script.mapSnapshots["projects"] = {"VKOP_2_15_811", "VKOP_2_15_810", "VKOP_3_15_1", "other"};
    script.mapExports["/vol/projects/a"] = "/vol/projects/a";
    return script;
}

TEST(ScriptedArray, SnapshotsCreateListDeleteAcrossVolumeArguments) {
    Harness h(SnapshotScript());
    std::string message;

    // A volume path and a volume name reach the same snapshots.
    EXPECT_TRUE(h.ontap.CreateOntapSnap("/vol/projects/a", "VKOP_2_15_812"));
    EXPECT_FALSE(h.ontap.CreateOntapSnap("projects", "VKOP_2_15_812"));
    EXPECT_EQ(104u, h.ontap.GetLastError(message));
    EXPECT_EQ("Snapshot [VKOP_2_15_812] already exists on volume [projects]", message);

    std::vector<SnapShotInfo_t> listed;
    ASSERT_TRUE(h.ontap.GetSnapShotList(listed, "/vol/projects/b", 0, "VKOP_2_15_"));
    EXPECT_EQ((std::vector<std::string>{"VKOP_2_15_810", "VKOP_2_15_811", "VKOP_2_15_812"}),
              Names(listed));
    EXPECT_EQ("projects", listed[0].strVolume);

    bool busy = true;
    EXPECT_TRUE(h.ontap.DeleteOntapSnap("projects", "VKOP_2_15_810", &busy));
    EXPECT_FALSE(busy);
    EXPECT_FALSE(h.ontap.DeleteOntapSnap("projects", "VKOP_2_15_810", nullptr));
    EXPECT_EQ(kArrayErrNotFound, h.ontap.GetLastError());
    EXPECT_FALSE(h.ontap.DeleteOntapSnap("novolume", "x", nullptr));
    EXPECT_EQ(kArrayErrNotFound, h.ontap.GetLastError());

    // The export is known whatever trailing "/" the client writes; a longer
    // path is another export.
    for (const char* exportPath : {"/vol/projects/a", "/vol/projects/a/", "/vol/projects/a//"}) {
        std::string volumePath;
        EXPECT_TRUE(h.ontap.GetActualStoragePathForNfsExport(exportPath, volumePath)) << exportPath;
        EXPECT_EQ("/vol/projects/a", volumePath);
    }
    std::string volumePath;
    EXPECT_FALSE(h.ontap.GetActualStoragePathForNfsExport("/vol/projects/ab", volumePath));
    EXPECT_FALSE(h.ontap.GetActualStoragePathForNfsExport("/", volumePath));

    // A volume the script does not name appears on first use.
    listed.clear();
    EXPECT_TRUE(h.ontap.GetSnapShotList(listed, "fresh", 0, ""));
    EXPECT_TRUE(listed.empty());
    EXPECT_TRUE(h.ontap.CreateOntapSnap("fresh", "s1"));
    EXPECT_EQ(std::set<std::string>{"s1"}, h.array->Script().mapSnapshots.at("fresh"));
}

TEST(ScriptedArray, RefusesNamesThatCannotBeSnapshots) {
    Harness h(SnapshotScript());
    const struct {
        std::string volume, name;
    } cases[] = {{"projects", ""},
                 {"projects", "."},
                 {"projects", ".."},
                 {"projects", "a/b"},
                 {"projects", std::string("a\0b", 3)},
                 {"", "ok"}};
    for (const auto& c : cases) {
        EXPECT_FALSE(h.ontap.CreateOntapSnap(c.volume, c.name)) << c.name;
        EXPECT_EQ(kArrayErrInvalidArgument, h.ontap.GetLastError()) << c.name;
    }
    EXPECT_EQ(4u, h.array->Script().mapSnapshots.at("projects").size());
}

TEST(ScriptedArray, ExportsAndConnection) {
    ArrayScript script = SnapshotScript();
    script.bOpenConnectionOk = false;
    script.uiVersion[0] = 9;
    script.uiVersion[1] = 13;
    script.uiVersion[2] = 1;
    Harness h(script);
    std::string path;
    EXPECT_TRUE(h.ontap.GetActualStoragePathForNfsExport("/vol/projects/a", path));
    EXPECT_EQ("/vol/projects/a", path);
    EXPECT_FALSE(h.ontap.GetActualStoragePathForNfsExport("/vol/projects/zz", path));
    EXPECT_EQ(kArrayErrNotFound, h.ontap.GetLastError());
    EXPECT_FALSE(h.ontap.OpenConnection());
    EXPECT_EQ(kArrayErrNotConnected, h.ontap.GetLastError());
    unsigned major = 0, minor = 0, third = 0;
    EXPECT_TRUE(h.ontap.GetFileServerVersion(major, minor, third, false));
    EXPECT_EQ(9u, major);
    EXPECT_EQ(13u, minor);
    EXPECT_EQ(1u, third);
}

ArrayScript DiffScript() {
    ArrayScript script;
    ScriptedSnapDiff diff;
    diff.bEscapedNames = false;
    diff.bEmptyBatchesAllowed = true;
    diff.vecBatches = {
        Batch({Change(1, "a"), Change(2, "b"), Change(3, "c"), Change(4, "d"), Change(5, "e")},
              false),
        Batch({}, false), FailingBatch(14999, "batch broke"), Batch({Change(6, "f")}, false)};
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
    std::string handle;
    bool escaped = true, emptyAllowed = false;
    ASSERT_TRUE(h.ontap.SnapDiffStart("/vol/projects/a", "s1", "s2", 2, "nfs", handle, escaped,
                                      emptyAllowed));
    EXPECT_FALSE(escaped);
    EXPECT_TRUE(emptyAllowed);

    // Five changes with at most two per batch: 2, 2, 1; then the empty batch.
    std::vector<SnapDiffFileInfo> batch;
    bool end = true;
    for (size_t expected : {2u, 2u, 1u, 0u}) {
        ASSERT_TRUE(h.ontap.SnapDiffNext(handle, batch, end));
        EXPECT_EQ(expected, batch.size());
        EXPECT_FALSE(end);
    }
    // A failing batch fails the call; the session goes on after it.
    EXPECT_FALSE(h.ontap.SnapDiffNext(handle, batch, end));
    std::string message;
    EXPECT_EQ(14999u, h.ontap.GetLastError(message));
    EXPECT_EQ("batch broke", message);
    EXPECT_EQ((std::vector<size_t>{1, 0}), h.Drain(handle));

    // The session ended with the end flag: the handle is refused now.
    EXPECT_FALSE(h.ontap.SnapDiffNext(handle, batch, end));
    EXPECT_EQ(kArrayErrBadHandle, h.ontap.GetLastError());
    EXPECT_FALSE(h.ontap.SnapDiffEnd(handle));
    EXPECT_EQ(kArrayErrBadHandle, h.ontap.GetLastError());

    // A new start on the same key replays from the first batch.
    std::string again;
    ASSERT_TRUE(
        h.ontap.SnapDiffStart("projects", "s1", "s2", 10, "nfs", again, escaped, emptyAllowed));
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
    std::string handle;
    bool escaped, emptyAllowed;
    ASSERT_TRUE(h.ontap.SnapDiffStart("v", "a", "b", 2, "nfs", handle, escaped, emptyAllowed));
    std::vector<SnapDiffFileInfo> batch;
    bool end = false;
    ASSERT_TRUE(h.ontap.SnapDiffNext(handle, batch, end));
    EXPECT_EQ(2u, batch.size());
    ASSERT_TRUE(h.ontap.SnapDiffNext(handle, batch, end));
    EXPECT_EQ(1u, batch.size());
    EXPECT_FALSE(h.ontap.SnapDiffNext(handle, batch, end));
    EXPECT_EQ(kArrayErrInternal, h.ontap.GetLastError());
    EXPECT_EQ((std::vector<size_t>{2, 1}), h.Drain(handle));
    EXPECT_EQ(0u, h.array->OpenSessions());
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

TEST(FaultInjection, NthCallOfAnOperationOptionallyPerVolume) {
    // Each row: the fault, then the volumes of successive CreateOntapSnap
    // calls and which of them must fail.
    const struct {
        ScriptedFault fault;
        std::vector<std::string> volumes;
        std::vector<bool> fails;
    } cases[] = {
        {Fault("CreateOntapSnap", 2, ""), {"a", "b", "a"}, {false, true, false}},
        {Fault("CreateOntapSnap", 2, "b"),
         {"b", "a", "a", "/vol/b/x"},
         {false, false, false, true}},
        {Fault("CreateOntapSnap", 1, "/vol/a/share"), {"b", "a", "a"}, {false, true, false}},
        {Fault("DeleteOntapSnap", 1, ""), {"a", "b"}, {false, false}},
    };
    for (const auto& c : cases) {
        Harness h(ArrayScript(), {c.fault});
        for (size_t i = 0; i < c.volumes.size(); ++i) {
            const std::string name = "s" + std::to_string(i);
            EXPECT_EQ(!c.fails[i], h.ontap.CreateOntapSnap(c.volumes[i], name))
                << c.fault.strOperation << " " << c.fault.strVolume << " call " << i;
            if (c.fails[i]) {
                EXPECT_EQ(13500u, h.ontap.GetLastError());
                // The injected failure never reached the array.
                EXPECT_EQ(
                    0u,
                    h.array->MutableScript().mapSnapshots[VolumeNameOfArgument(c.volumes[i])].count(
                        name));
            }
        }
        EXPECT_EQ(c.volumes.size(), h.faulty->CallCount("CreateOntapSnap"));
    }
}

TEST(FaultInjection, DroppedConnectionFailsEveryLaterCall) {
    ArrayScript script = SnapshotScript();
    script.mapSnapDiffs[std::make_tuple("projects", "s1", "s2")] = ScriptedSnapDiff();
    Harness h(script, {Fault("GetSnapShotList", 1, "", true)});
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
    std::string h1, h2;
    bool escaped, emptyAllowed, end;
    ASSERT_TRUE(h.ontap.SnapDiffStart("/vol/v1/x", "a", "b", 5, "nfs", h1, escaped, emptyAllowed));
    ASSERT_TRUE(h.ontap.SnapDiffStart("/vol/v2/x", "a", "b", 5, "nfs", h2, escaped, emptyAllowed));
    std::vector<SnapDiffFileInfo> batch;
    EXPECT_TRUE(h.ontap.SnapDiffNext(h1, batch, end));
    EXPECT_TRUE(h.ontap.SnapDiffNext(h1, batch, end));
    EXPECT_TRUE(h.ontap.SnapDiffNext(h2, batch, end));
    EXPECT_FALSE(h.ontap.SnapDiffNext(h2, batch, end));
    // The faulted call never reached the array, so a retry gets that batch.
    EXPECT_TRUE(h.ontap.SnapDiffNext(h2, batch, end));
    ASSERT_EQ(1u, batch.size());
    EXPECT_EQ(2u, batch[0].ullInode);
    EXPECT_TRUE(end);

    const auto& calls = h.faulty->Calls();
    ASSERT_EQ(7u, calls.size());
    EXPECT_EQ("SnapDiffStart", calls[0].strOperation);
    EXPECT_EQ((std::vector<std::string>{"/vol/v1/x", "a", "b", "5", "nfs"}), calls[0].vecArguments);
    EXPECT_EQ((std::vector<std::string>{h2, "v2"}), calls[5].vecArguments);
    EXPECT_FALSE(calls[5].bOk);
    EXPECT_EQ(13500u, calls[5].uiCode);
}

ArrayScript FullScript() {
    ArrayScript script = DiffScript();
    script.bCluster = false;
    script.bClusterInterface = true;
    script.uiVersion[1] = 13;
    script.strArrayName = "filer\xff";
    script.mapExports["/vol/projects/\xe9t\xe9"] = "/vol/projects/\xe9t\xe9";
    script.mapSnapshots["projects"] = {"VKOP_1_2_3", std::string("nul\0name", 8), "caf\xc3\xa9"};
    ScriptedSnapDiff& diff = script.mapSnapDiffs[std::make_tuple("projects", "s1", "s2")];
    diff.vecBatches[0].vecChanges[0].ullInode = UINT64_MAX;
    diff.vecBatches[0].vecChanges[0].llMtime = -5;
    diff.vecBatches[0].vecChanges[1].strFileName = "bad\x80name";
    script.vecFaults.push_back(Fault("SnapDiffNext", 3, "/vol/projects/a", true));
    return script;
}

TEST(ScriptJson, RoundTripKeepsEveryByte) {
    const ArrayScript original = FullScript();
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
        {"", "not a JSON document"},
        {"{\"cluster\": tru}", "not a JSON document"},
        {"{\"array_name\": \"\xff\"}", "not a JSON document"},
        {"[]", "document: expected an object"},
        {"{\"clusterr\": true}", "unknown key \"clusterr\""},
        {"{\"cluster\": 1}", "cluster: expected true or false"},
        {"{\"version\": [9, 8]}", "version: expected [major, minor, third]"},
        {"{\"version\": [9, -1, 0]}", "version[1]"},
        {"{\"exports\": {}}", "exports: expected an array"},
        {"{\"exports\": [{\"export\": \"/a\"}]}", "exports[0]: \"volume_path\" is missing"},
        {"{\"snapshots\": [{\"volume\": \"v\", \"names\": [{\"hex\": \"abc\"}]}]}",
         "snapshots[0].names[0]: expected a string or"},
        {"{\"snapshots\": [{\"volume\": \"v\", \"names\": [{\"hex\": \"zz\"}]}]}",
         "snapshots[0].names[0]"},
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
    ArrayScript loaded;
    ASSERT_TRUE(LoadArrayScript(path, loaded, error)) << error;
    EXPECT_EQ(SnapshotScript().mapSnapshots, loaded.mapSnapshots);

    ArrayScript generated;
    generated.mapSnapDiffs[std::make_tuple("v", "a", "b")].generator =
        [](size_t, unsigned long, ScriptedBatch&) { return true; };
    EXPECT_FALSE(SaveArrayScript(path, generated, error));
    EXPECT_NE(std::string::npos, error.find("generated")) << error;
    EXPECT_FALSE(SaveArrayScript(dir / "missing/array.json", SnapshotScript(), error));
    EXPECT_NE(std::string::npos, error.find("missing/array.json")) << error;
    EXPECT_FALSE(LoadArrayScript(dir / "absent.json", loaded, error));
    EXPECT_NE(std::string::npos, error.find("absent.json")) << error;
    // The failed saves left the last good document and no temporary file.
    ASSERT_TRUE(LoadArrayScript(path, loaded, error)) << error;
    EXPECT_EQ(SnapshotScript().mapSnapshots, loaded.mapSnapshots);
    EXPECT_FALSE(testsupport::FileExists(path + ".tmp." + std::to_string(getpid())));
}

// A job's worth of array calls; every answer the client could see, as text.
std::vector<std::string> DriveJob(ManageONTAP& ontap) {
    std::vector<std::string> seen;
    auto note = [&](const std::string& what, bool ok) {
        std::string message;
        const unsigned code = ok ? 0 : ontap.GetLastError(message);
        seen.push_back(what + (ok ? " ok" : " fail " + std::to_string(code) + " " + message));
    };
    note("open", ontap.OpenConnection());
    note(std::string("cluster ") + (ontap.IsCluster() ? "yes" : "no"), true);
    unsigned major = 0, minor = 0, third = 0;
    const bool versionOk = ontap.GetFileServerVersion(major, minor, third, false);
    note("version " + std::to_string(major) + "." + std::to_string(minor), versionOk);
    for (const char* exportPath : {"/vol/projects/a", "/vol/nowhere"}) {
        std::string path;
        const bool ok = ontap.GetActualStoragePathForNfsExport(exportPath, path);
        note(std::string("export ") + exportPath + " " + path, ok);
    }
    auto list = [&]() {
        std::vector<SnapShotInfo_t> listed;
        const bool ok = ontap.GetSnapShotList(listed, "/vol/projects/a", 0, "VKOP_2_15_");
        std::string names;
        for (const auto& s : listed) names += " " + s.strName;
        note("list" + names, ok);
    };
    list();
    note("create 812", ontap.CreateOntapSnap("/vol/projects/a", "VKOP_2_15_812"));
    note("create 811 again", ontap.CreateOntapSnap("projects", "VKOP_2_15_811"));
    note("delete 810", ontap.DeleteOntapSnap("projects", "VKOP_2_15_810", nullptr));
    note("delete 809", ontap.DeleteOntapSnap("projects", "VKOP_2_15_809", nullptr));
    list();
    for (int attempt = 0; attempt < 3; ++attempt) {
        std::string handle;
        bool escaped = true, emptyAllowed = false, end = false;
        const bool started = ontap.SnapDiffStart("/vol/projects/a", "s1", "s2", 2, "nfs", handle,
                                                 escaped, emptyAllowed);
        note(std::string("start ") + (escaped ? "E" : "e") + (emptyAllowed ? "A" : "a"), started);
        if (!started) continue;
        while (!end) {
            std::vector<SnapDiffFileInfo> batch;
            const bool ok = ontap.SnapDiffNext(handle, batch, end);
            std::string inodes;
            for (const auto& c : batch) inodes += " " + std::to_string(c.ullInode) + c.strFileName;
            note("next" + inodes + (end ? " end" : ""), ok);
            if (!ok && attempt < 2) break;  // the last attempt pulls past the failure
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
    const std::vector<std::string> replayed = DriveJob(replay.ontap);
    EXPECT_EQ(live, replayed);
    // The live run really went through failures and a retry.
    EXPECT_EQ("open fail 13500 boom", live[0]);
    EXPECT_NE(live.end(), std::find(live.begin(), live.end(), "next fail 13500 boom"));
    EXPECT_NE(live.end(), std::find(live.begin(), live.end(), "next end ok"));
    EXPECT_NE(live.end(),
              std::find(live.begin(), live.end(), "refused start fail 14506 all sessions in use"));
}

TEST(ScriptJson, DocumentedExampleLoadsAndAnswers) {
    const std::string source = SNAPCLIENT_SOURCE_DIR;
    const std::string example = source + "/tests/data/scripts/example.json";
    // The document shows the example file verbatim.
    const std::string doc = testsupport::ReadFile(source + "/docs/scripted-array.md");
    const std::string text = testsupport::ReadFile(example);
    EXPECT_NE(std::string::npos, doc.find("```json\n" + text + "```")) << "docs out of date";

    ArrayScript script;
    std::string error;
    ASSERT_TRUE(LoadArrayScript(example, script, error)) << error;
    Harness h(script, script.vecFaults);
    std::vector<SnapShotInfo_t> listed;
    ASSERT_TRUE(h.ontap.GetSnapShotList(listed, "/vol/projects/a", 0, "VKOP_"));
    EXPECT_EQ((std::vector<std::string>{"VKOP_2_15_811", "VKOP_\xff"}), Names(listed));
    std::string handle;
    bool escaped = false, emptyAllowed = true, end = false;
    ASSERT_TRUE(h.ontap.SnapDiffStart("/vol/projects/a", "VKOP_2_15_811", "VKOP_2_15_812", 100,
                                      "nfs", handle, escaped, emptyAllowed));
    EXPECT_TRUE(escaped);
    EXPECT_FALSE(emptyAllowed);
    std::vector<SnapDiffFileInfo> batch;
    ASSERT_TRUE(h.ontap.SnapDiffNext(handle, batch, end));
    ASSERT_EQ(2u, batch.size());
    EXPECT_EQ("/a/n\xff", batch[1].strFileName);
    EXPECT_FALSE(h.ontap.SnapDiffNext(handle, batch, end));
    EXPECT_EQ(13999u, h.ontap.GetLastError());
    EXPECT_FALSE(h.ontap.SnapDiffNext(handle, batch, end));  // the scripted fault, third call
    EXPECT_EQ(13001u, h.ontap.GetLastError());
    ASSERT_TRUE(h.ontap.SnapDiffNext(handle, batch, end));
    EXPECT_TRUE(end);
    EXPECT_FALSE(h.ontap.SnapDiffStart("projects", "VKOP_2_15_810", "VKOP_2_15_811", 100, "nfs",
                                       handle, escaped, emptyAllowed));
    EXPECT_EQ(14506u, h.ontap.GetLastError());
}

}  // namespace
