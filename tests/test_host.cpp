// The host services' edges that no job reaches with a scripted array: config
// integers, mount table lines, auto-mount keys, credentials, the back end
// swap, the client without a connection, and the stable error text of the
// job transcript.
#include "tests/support/ClientEnv.h"
#include "tools/ErrorJson.h"

#include "array/ArrayBackendFactory.h"

#include "host/FXPath.h"
#include "host/FileShareAutoMount.h"
#include "host/NASSnapUtil.h"
#include "host/VKPlatformInfo.h"
#include "host/VkMntTab.h"

#include <nlohmann/json.hpp>

using namespace testsupport;

namespace {

// "010" was read as octal 8; junk and overflow are not numbers at all.
TEST(Host, ConfigIntegersAreDecimalOrHex) {
    ScopedConfig config(
        "[s]\nzero = 010\nhex = 0x1F\nneg = -5\ntext = yes\ntrailing = 12abc\n"
        "huge = 99999999999\nhexOnly = 0x\nplus = +5\nmin = -2147483648\nmax = 2147483648\n");
    const std::pair<const char*, int> rows[] = {
        {"zero", 10},      {"hex", 31},        {"neg", -5},      {"text", 777},
        {"trailing", 777}, {"huge", 777},      {"hexOnly", 777}, {"missing", 777},
        {"plus", 777},     {"min", INT32_MIN}, {"max", 777}};
    for (const auto& row : rows) {
        int value = 777;
        EXPECT_EQ(row.second != 777, VKPlatformInfo::getRegInt("s", row.first, &value))
            << row.first;
        EXPECT_EQ(row.second, value) << row.first;
    }
}

// A megabyte line is one entry (a cut directory could cover paths it does
// not hold), escapes are decoded, a corrupt line does not hide the next.
TEST(Host, MountTableLinesAreReadWhole) {
    TempDir dir;
    const std::string longDir = "/mnt/" + std::string(1 << 20, 'L');
    WriteFile(dir / "mounts",
              "filer2:/vol/a\\040b /mnt/with\\040space nfs4 ro 0 0\nfiler3:/vol/long " + longDir +
                  " nfs rw 0 0\ncorrupt" + std::string(1, '\0') +
                  "line /mnt/x nfs rw 0 0\nfiler4:/vol/last /mnt/last nfs rw 0 0");
    ScopedConfig config("[host]\nmount_table = " + (dir / "mounts") + "\n");
    std::list<VkMntTab::Entry> entries;
    ASSERT_FALSE(VkMntTab::getAll(entries).IsError());
    std::vector<std::string> seen;
    for (const auto& e : entries) seen.push_back(e.strSource + "|" + e.strDirectory);
    EXPECT_EQ(seen, (std::vector<std::string>{"filer2:/vol/a b|/mnt/with space",
                                              "filer3:/vol/long|" + longDir,
                                              "filer4:/vol/last|/mnt/last"}));
}

// Paths lie below whole components; an empty directory names no place (it
// covered every path once).
TEST(Host, PathsLieBelowWholeComponents) {
    const std::tuple<const char*, const char*, bool, bool> rows[] = {
        {"/a/b", "/a", false, true},  {"/a", "/a", false, false},    {"/a", "/a", true, true},
        {"/ab", "/a", true, false},   {"/a/b/", "/a/", false, true}, {"/x", "/", false, true},
        {"/a//b", "/a", false, true}, {"/a", "", true, false},       {"", "/", true, false}};
    for (const auto& row : rows)
        EXPECT_EQ(std::get<3>(row),
                  FXPath::IsDescendantOf(std::get<0>(row), std::get<1>(row), std::get<2>(row)))
            << std::get<0>(row) << " under [" << std::get<1>(row) << "]";
}

// The longest whole-component prefix wins; no key covers every path.
TEST(Host, AutoMountKeysCoverWholeComponents) {
    ScopedConfig config(
        "[automount]\n = filer9:/vol/all\n/mnt/proj = filer1:/vol/projects\n"
        "/mnt/projects = filer3:/vol/p3\n/bad = no-colon\n");
    const struct {
        const char *backup, *mountFormat;
        bool failed, error;
    } rows[] = {{"/mnt/proj/a/b/", "filer1:/vol/projects/a/b", false, false},
                {"/mnt/projX", "", true, false},
                {"/mnt/projects/x", "filer3:/vol/p3/x", false, false},
                {"/other", "", true, false},
                {"/bad/x", "", false, true}};
    for (const auto& row : rows) {
        std::string mountFormat, interface;
        bool failed = false;
        CRyError error = FileShareAutoMount::convertScanToMountFormat(row.backup, mountFormat,
                                                                      interface, failed);
        EXPECT_EQ(row.error, error.IsError()) << row.backup;
        EXPECT_EQ(row.failed, failed) << row.backup;
        EXPECT_EQ(row.mountFormat, mountFormat) << row.backup;
    }
}

// Credentials are read into a clean record (no stale password), and a back
// end that cannot be built detaches the old one instead of answering for
// another array.
TEST(Host, CredentialsAndBackEndSwap) {
    ScopedConfig config(
        "[client.1]\narray = filer1\nuser = admin\npassword = s3cret\n[client.2]\narray = "
        "filer2\n");
    NASSnapUtil util;
    ASSERT_TRUE(util.Initialize());
    NASArrayInfo info;
    ASSERT_TRUE(util.GetArrayNameAndCredentialsByClientId(1, info));
    ASSERT_TRUE(util.GetArrayNameAndCredentialsByClientId(2, info));
    EXPECT_EQ("filer2", info.strArrayName);
    EXPECT_EQ("", info.strPassword);

    ScriptedArrayInstall install{ArrayScript()};
    ManageONTAP ontap;
    EXPECT_TRUE(util.SetONTAPObject(info, ontap, MONTAP_CONNECT_HTTP, false));
    EXPECT_TRUE(ontap.OpenConnection());
    SetArrayBackendOverride([](const NASArrayInfo&) { return boost::shared_ptr<ArrayBackend>(); });
    RecordingLogWriter log(-1);
    EXPECT_FALSE(util.SetONTAPObject(info, ontap, MONTAP_CONNECT_HTTP, false));
    EXPECT_FALSE(ontap.OpenConnection());
}

// Without a connection every operation that needs the array says so (1359)
// instead of dereferencing nothing.
TEST(Host, ClientWithoutConnectionRefuses) {
    lifecycle::TestClient client;
    const std::pair<CRyError, const char*> rows[] = {
        {client.VerifySnapScanSupport(), "ManageOntap not initialized"},
        {client.DeleteAutoMountFailedSnapshots({"filer1:/vol/p"}), "ManageOntap not initialized"},
        {client.CleanupSnapshotsPostBackup(true), "ManageOntap is not initialized!"},
        {client.CleanupSnapshotByVolume({{"p", {"VKOP_1_0_1"}}}),
         "ManageOntap is not initialized!"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(1359u, row.first.Win32Code()) << row.first.AsString();
        EXPECT_EQ(row.second, row.first.Message());
    }
}

// The post-backup clean-up reads the map file by whole lines of any length
// (a 70,000-byte line is one record), skips blank lines and carriage
// returns, and logs a line it cannot read; here no path resolves (no
// auto-mount map), so each record shows as one unresolved path.
TEST(Host, MapFileLinesAreReadWhole) {
    lifecycle::Env env;
    env.Install();
    const std::string longPath = "/mnt/" + std::string(70000, 'x') + "/";
    WriteFile(env.MapFile(), "m:/a/:/a/.snapshot/s:\r\n\ngarbage\nm:" + longPath + ":" + longPath +
                                 ":\nm:/b/:/b/:");
    RecordingLogWriter log;
    ASSERT_FALSE(env.Client(2, 1)->CleanupSnapshotsPostBackup(true).IsError());
    std::vector<std::string> handed;
    for (const auto& line : log.Lines())
        if (line.message.find("Couldn't get export path [") == 0)
            handed.push_back(line.message.substr(26));
    const std::string tail = "], for snapshot cleanup";
    EXPECT_TRUE(handed == (std::vector<std::string>{"/a/" + tail, longPath + tail, "/b/" + tail}));
    EXPECT_TRUE(log.Has(0, "Incorrect or unknown line format [garbage] in file [" + env.MapFile() +
                               "]. Ignoring it."));
}

// Transcripts compare across machines: functions stay, files and lines go
// (the scenarios hold whole texts), the results folder is a placeholder,
// bytes that are not UTF-8 are hex.
TEST(Host, TranscriptErrorTextsAreStable) {
    EXPECT_EQ(
        "E\n  at A::B\n  at g: pushed (x)",
        snapagent::WithoutSourceLocations("E\n  at virtual CRyError A::B(int) (/src/a.cpp:12)\n"
                                          "  at void g(char (&)[4]) (/y.cpp:20): pushed (x)"));
    snapagent::TextPlaceholders placeholders;
    placeholders.SetFolder("/tmp/job7/", "${RESULTS}");
    CRyError err = FXErrorUtil::ErrorWin32(FX_LOCATION, ERROR_FUNCTION_FAILED,
                                           " Failed to open [%s] file", "/tmp/job7/map.vkf");
    err.Push(FX_LOCATION, "again in /tmp/job7");
    const std::string text = snapagent::ErrorJson(err, placeholders)["text"];
    EXPECT_EQ(text.find(__FILE__), std::string::npos) << text;
    EXPECT_NE(text.find("Failed to open [${RESULTS}/map.vkf] file"), std::string::npos) << text;
    EXPECT_NE(text.find(": again in ${RESULTS}"), std::string::npos) << text;
    CRyError event = FXErrorUtil::ErrorEventMessage(FX_LOCATION, 0x11000093);
    event.AddArgument("VKOP_\xFF");
    EXPECT_EQ(snapagent::ErrorJson(event, placeholders)["args"][0]["hex"], "564b4f505fff");
}

}  // namespace
