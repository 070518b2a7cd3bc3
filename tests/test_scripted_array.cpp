// The scripted array's document: the documented example loads and answers
// as shown, driven through ManageONTAP, and a save never leaves half a
// document. Jobs on scripted arrays are the scenarios' business
// (tests/scenarios); recording is replayed by test_snapagent_demo.
#include "array/AttachArrayBackend.h"
#include "array/FaultInjectingBackend.h"
#include "array/ScriptJson.h"
#include "array/ScriptedArray.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>
#include <unistd.h>
#include <boost/make_shared.hpp>

namespace {

ArrayScript SnapshotScript() {
    ArrayScript script;
    script.mapSnapshots["projects"] = {"VKOP_2_15_811", "VKOP_2_15_810", "VKOP_3_15_1", "other"};
    script.mapExports["/vol/projects/a"] = "/vol/projects/a";
    return script;
}

TEST(ScriptJson, SaveIsAtomicAndRefusesWhatItCannotWrite) {
    testsupport::TempDir dir;
    const std::string path = dir / "array.json";
    hostlib::Status status = SaveArrayScript(path, SnapshotScript());
    ASSERT_TRUE(status.ok()) << status.message();
    ArrayScript generated;
    generated.mapSnapDiffs[std::make_tuple("v", "a", "b")].generator =
        [](size_t, unsigned long, ScriptedBatch&) { return true; };
    status = SaveArrayScript(path, generated);
    EXPECT_EQ(hostlib::Status::kNotSupported, status.code());
    EXPECT_NE(std::string::npos, status.message().find("generated")) << status.message();
    status = SaveArrayScript(dir / "missing/array.json", SnapshotScript());
    EXPECT_EQ(hostlib::Status::kIOError, status.code());
    EXPECT_NE(std::string::npos, status.message().find("missing/array.json")) << status.message();
    ArrayScript loaded;
    status = LoadArrayScript(dir / "absent.json", loaded);
    EXPECT_EQ(hostlib::Status::kIOError, status.code());
    EXPECT_NE(std::string::npos, status.message().find("absent.json")) << status.message();
    // The failed saves left the last good document and no temporary file.
    status = LoadArrayScript(path, loaded);
    ASSERT_TRUE(status.ok()) << status.message();
    EXPECT_EQ(SnapshotScript().mapSnapshots, loaded.mapSnapshots);
    EXPECT_FALSE(testsupport::FileExists(path + ".tmp." + std::to_string(getpid())));
}

TEST(ScriptJson, DocumentedExampleLoadsAndAnswers) {
    const std::string source = SNAPCLIENT_SOURCE_DIR;
    const std::string example = source + "/tests/data/scripts/example.json";
    // The document shows the example file verbatim.
    const std::string doc = testsupport::ReadFile(source + "/docs/scripted-array.md");
    EXPECT_NE(std::string::npos, doc.find("```json\n" + testsupport::ReadFile(example) + "```"))
        << "docs out of date";

    ArrayScript script;
    const hostlib::Status loaded = LoadArrayScript(example, script);
    ASSERT_TRUE(loaded.ok()) << loaded.message();
    ManageONTAP ontap;
    AttachArrayBackend(ontap, boost::make_shared<FaultInjectingBackend>(
                                  boost::make_shared<ScriptedArray>(script), script.vecFaults));
    std::vector<SnapShotInfo_t> listed;
    ASSERT_TRUE(ontap.GetSnapShotList(listed, "/vol/projects/a", 0, "VKOP_"));
    ASSERT_EQ(2u, listed.size());
    EXPECT_EQ("VKOP_2_15_811", listed[0].strName);
    EXPECT_EQ("VKOP_\xff", listed[1].strName);
    bool escaped = false, emptyAllowed = true;
    std::string handle;
    ASSERT_TRUE(ontap.SnapDiffStart("/vol/projects/a", "VKOP_2_15_811", "VKOP_2_15_812", 100, "nfs",
                                    handle, escaped, emptyAllowed));
    EXPECT_TRUE(escaped);
    EXPECT_FALSE(emptyAllowed);
    // Each batch's size, or minus the error code of a failed call: the
    // scripted failing batch, then the scripted fault on the third call.
    std::vector<long long> seen;
    std::vector<SnapDiffFileInfo> pulled;
    for (bool end = false; !end && seen.size() < 20;) {
        std::vector<SnapDiffFileInfo> batch;
        seen.push_back(ontap.SnapDiffNext(handle, batch, end)
                           ? static_cast<long long>(batch.size())
                           : -static_cast<long long>(ontap.GetLastError()));
        pulled.insert(pulled.end(), batch.begin(), batch.end());
    }
    EXPECT_EQ((std::vector<long long>{2, -13999, -13001, 0}), seen);
    ASSERT_EQ(2u, pulled.size());
    EXPECT_EQ("/a/n\xff", pulled[1].strFileName);
    std::string refused;
    EXPECT_FALSE(ontap.SnapDiffStart("projects", "VKOP_2_15_810", "VKOP_2_15_811", 100, "nfs",
                                     refused, escaped, emptyAllowed));
    EXPECT_EQ(14506u, ontap.GetLastError());
}

}  // namespace
