// The host library's services, one group per service, against real files
// (config, mount table, log file) written into a temporary folder.
#include "array/ArrayBackendFactory.h"
#include "host/FXErrorUtil.h"
#include "host/FXFile.h"
#include "host/FXPath.h"
#include "host/FXString.h"
#include "host/FileLogWriter.h"
#include "host/FileShareAutoMount.h"
#include "host/IniFile.h"
#include "host/JobInfo.h"
#include "host/NASSnapUtil.h"
#include "host/VKPlatformInfo.h"
#include "host/VkMntTab.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <unistd.h>

using namespace testsupport;

namespace {

// ---------------------------------------------------------------- CRyError

TEST(CRyErrorTest, StatusAndOrigin) {
    const struct {
        const char* name;
        CRyError error;
        uint32_t win32, eventId;
        const char* message;
    } rows[] = {
        {"success", CRyError::Success(), 0, 0, ""},
        {"win32 without message", FXErrorUtil::ErrorWin32(FX_LOCATION, ERROR_OUTOFMEMORY), 14, 0,
         ""},
        {"win32 with message",
         FXErrorUtil::ErrorWin32(FX_LOCATION, ERROR_FUNCTION_FAILED, "Unable to [%s] %d", "x", 7),
         1627, 0, "Unable to [x] 7"},
        {"high win32 code", FXErrorUtil::ErrorWin32(FX_LOCATION, 0xFFFF), 0xFFFF, 0, ""},
        {"event", FXErrorUtil::ErrorEventMessage(FX_LOCATION, 0x11000093), 0, 0x11000093, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const bool isError = row.win32 != 0 || row.eventId != 0;
        EXPECT_EQ(isError, row.error.IsError());
        EXPECT_EQ(isError, row.error.Status() < 0);
        EXPECT_EQ(row.win32, row.error.Win32Code());
        EXPECT_EQ(row.eventId, row.error.EventId());
        EXPECT_EQ(row.message, row.error.Message());
    }
}

TEST(CRyErrorTest, CopiesShareFramesAndTextKeepsOrder) {
    CRyError origin =
        FXErrorUtil::ErrorWin32(FXCodeLocation("a.cpp", "void Inner()", 10), 1627, "root cause");
    CRyError copy = origin;
    copy.Push(FXCodeLocation("b.cpp", "void Middle()", 20));
    origin.Push(FXCodeLocation("c.cpp", "void Outer()", 30), "while %s", "configuring");
    ASSERT_EQ(3u, copy.Frames().size()) << "a push on one copy must show in the other";
    EXPECT_EQ("while configuring", copy.Frames()[2].strMessage);
    EXPECT_EQ("root cause", copy.Message());
    const std::string text = origin.AsString();
    for (const char* part : {"1627", "root cause", "a.cpp:10", "while configuring"})
        EXPECT_NE(std::string::npos, text.find(part)) << part << " missing in " << text;
    EXPECT_LT(text.find("void Inner()"), text.find("void Middle()"));
    EXPECT_LT(text.find("void Middle()"), text.find("void Outer()"));
    EXPECT_EQ(std::string::npos, text.find('\0'));

    CRyError event = FXErrorUtil::ErrorEventMessage(FX_LOCATION, 0x110000A5);
    event.AddArgument("VKOP_1_2_3").AddArgument("/mnt/a/.snapshot/VKOP_1_2_3");
    ASSERT_EQ(2u, event.EventArguments().size());
    const std::string eventText = event.AsString();
    EXPECT_NE(std::string::npos, eventText.find("110000A5"));
    EXPECT_LT(eventText.find("[VKOP_1_2_3]"), eventText.find("[/mnt/a/.snapshot/VKOP_1_2_3]"));
    CRyError ok;  // pushing onto a success does not make it fail
    ok.Push(FX_LOCATION);
    EXPECT_FALSE(ok.IsError());
}

// ------------------------------------------------------------ FXPath, FXString

TEST(FXPathTest, IsDescendantOf) {
    const struct {
        const char *path, *dir;
        bool orEqual, expected;
    } rows[] = {
        {"/a/b", "/a", false, true},   {"/a", "/a", false, false},   {"/a", "/a", true, true},
        {"/ab", "/a", true, false},    {"/a", "/ab", true, false},   {"/a/", "/a", true, true},
        {"/a/b/", "/a/", false, true}, {"/x", "/", false, true},     {"/", "/", false, false},
        {"//", "/", true, true},       {"/a//b", "/a", false, true}, {"/A/b", "/a", true, false},
        {"/a", "", true, false},       {"", "/", true, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.path) + " under " + row.dir);
        EXPECT_EQ(row.expected, FXPath::IsDescendantOf(row.path, row.dir, row.orEqual));
        EXPECT_EQ(row.expected, FXPath::IsAncestorOf(row.dir, row.path, row.orEqual));
    }
}

TEST(FXPathTest, AppendRemoveAndTrailingDelimiters) {
    const struct {
        const char *path, *part, *expected;
    } appends[] = {
        {"/vol/p", "sub/dir", "/vol/p/sub/dir"}, {"/vol/p/", "/sub", "/vol/p/sub"},
        {"/vol/p", "", "/vol/p"}, {"", "sub", "sub"}, {"/", "/x", "/x"}, {"/a", "/", "/a/"},
    };
    for (const auto& row : appends) {
        std::string path = row.path;
        EXPECT_FALSE(FXPath::Append(path, row.part, 0).IsError());
        EXPECT_EQ(row.expected, path) << row.path << " + " << row.part;
    }
    const struct {
        const char *path, *dir, *expected;
    } removes[] = {
        {"/mnt/projects/sub/dir", "/mnt/projects", "/sub/dir"},
        {"/mnt/projects/sub", "/mnt/projects/", "/sub"},
        {"/mnt/projects", "/mnt/projects", "/mnt/projects"},
        {"/mnt/projectsX/a", "/mnt/projects", "/mnt/projectsX/a"},
        {"/x/y", "/", "/x/y"},
    };
    for (const auto& row : removes) {
        std::string path = row.path;
        FXPath::RemovePathFromFileName(path, row.dir);
        EXPECT_EQ(row.expected, path) << row.path << " - " << row.dir;
    }
    const struct {
        const char *path, *with, *without;
    } trails[] = {{"/a/b", "/a/b/", "/a/b"}, {"/a/b///", "/a/b///", "/a/b"}, {"/", "/", "/"},
                  {"", "", ""}};
    for (const auto& row : trails) {
        std::string with = row.path, without = row.path;
        FXPath::AppendTrailingDelimiter(with);
        FXPath::RemoveTrailingDelimiter(without);
        EXPECT_EQ(row.with, with) << row.path;
        EXPECT_EQ(row.without, without) << row.path;
    }
}

TEST(FXPathTest, MissingPathsAndUnwritableFilesFailNamingThePath) {
    TempDir dir;
    WriteFile(dir / "file", "x");
    bool exists = false;
    EXPECT_FALSE(FXPath::DoesPathExist(dir / "file", exists).IsError());
    EXPECT_TRUE(exists);
    CRyError missing = FXPath::DoesPathExist(dir / "nothing", exists);
    EXPECT_EQ(1627u, missing.Win32Code());
    EXPECT_FALSE(exists);
    EXPECT_NE(std::string::npos, missing.Message().find(dir / "nothing"));
    FILE* file = nullptr;
    EXPECT_EQ(1627u, FXFile::vkfopen(file, dir / "no/such/dir", "w").Win32Code());
    EXPECT_EQ(nullptr, file);
}

TEST(FXStringTest, SplitAndEditsAtTheEdges) {
    const struct {
        const char *text, *delimiter;
        std::vector<std::string> pieces;
    } splits[] = {
        {"m:/a:/b:", ":", {"m", "/a", "/b", ""}}, {":x", ":", {"", "x"}},
        {"a::b", ":", {"a", "", "b"}},           {"", ":", {}},
        {"abc", "", {"abc"}},                    {"a--b--", "--", {"a", "b", ""}},
    };
    for (const auto& row : splits) {
        std::vector<std::string> pieces{"stale"};
        FXString::Split(row.text, row.delimiter, pieces, 0);
        EXPECT_EQ(row.pieces, pieces) << row.text;
    }
    const struct {
        std::string op;
        const char *text, *a, *b, *expected;
        size_t count;
    } edits[] = {
        {"TrimRight", "line \r\n", " \r\n", "", "line", 0},
        {"TrimRight", "\n\n", "\n", "", "", 0},
        {"RemoveRight", "xabab", "ab", "", "x", 0},
        {"RemoveRight", "abc", "", "", "abc", 0},
        {"ReplaceLeft", "/mnt/p/a", "/mnt/p", "/snap", "/snap/a", 1},
        {"ReplaceLeft", "/m", "/mnt/p", "/snap", "/m", 0},
        {"ReplaceAll", "a\\\\b\\\\", "\\\\", "\\", "a\\b\\", 2},
        {"ReplaceAll", "aaa", "a", "aa", "aaaaaa", 3},
        {"ReplaceAll", "abc", "", "x", "abc", 0},
    };
    for (const auto& row : edits) {
        SCOPED_TRACE(row.op + " " + row.text);
        std::string text = row.text;
        size_t count = 0;
        if (row.op == "TrimRight") FXString::TrimRight(text, row.a);
        if (row.op == "RemoveRight") FXString::RemoveRight(text, row.a);
        if (row.op == "ReplaceLeft") count = FXString::ReplaceLeft(text, row.a, row.b) ? 1 : 0;
        if (row.op == "ReplaceAll") count = FXString::ReplaceAll(text, row.a, row.b);
        EXPECT_EQ(row.expected, text);
        EXPECT_EQ(row.count, count);
    }
    EXPECT_EQ("VKOP_4294967295_0_", FXString::Format("%s_%u_%u_", "VKOP", 4294967295u, 0u));
}

// ---------------------------------------------------- IniFile, VKPlatformInfo

TEST(ConfigTest, IniParsing) {
    std::istringstream in(
        "; comment\ntop = before any section\n[automount]\r\n/mnt/b = f:/b\n"
        "  /mnt/a b/  =  f:/a  \n/mnt/b = f:/b2\n# /mnt/c = f:/c\n"
        "garbage line without equals\n= no key\n[ other ]\nk=v=w\n");
    IniFile ini;
    ini.Parse(in);
    ASSERT_NE(nullptr, ini.Find("", "top"));
    // A later value replaces an earlier one in place; comments and garbage are skipped.
    EXPECT_EQ((std::vector<std::pair<std::string, std::string>>{{"/mnt/b", "f:/b2"},
                                                                {"/mnt/a b/", "f:/a"}}),
              ini.Entries("automount"));
    ASSERT_NE(nullptr, ini.Find("other", "k"));
    EXPECT_EQ("v=w", *ini.Find("other", "k"));
    EXPECT_TRUE(ini.Entries("missing").empty());
    EXPECT_FALSE(ini.Load("/nonexistent/snapclient.conf"));
    EXPECT_TRUE(ini.Entries("automount").empty()) << "a failed load holds nothing";
}

TEST(ConfigTest, RegistryIntegersReadLive) {
    ScopedConfig config(
        "[~FileSystemAgent]\nbBackupFromSnapshotOnly = 1\nhex = 0x1F\nHEX = 0XfF\n"
        "negative = -5\nleadingZero = 010\nmax = 2147483647\nmin = -2147483648\ntext = yes\n"
        "empty =\ntrailing = 12abc\nhuge = 99999999999\nhexOnly = 0x\nfloat = 1.5\n");
    const struct {
        const char* key;
        bool present;
        int value;
    } rows[] = {
        {"bBackupFromSnapshotOnly", true, 1}, {"hex", true, 31}, {"HEX", true, 255},
        {"negative", true, -5}, {"leadingZero", true, 10}, {"max", true, 2147483647},
        {"min", true, -2147483647 - 1}, {"text", false, 0}, {"empty", false, 0},
        {"trailing", false, 0}, {"huge", false, 0}, {"hexOnly", false, 0}, {"float", false, 0},
        {"missing", false, 0},
    };
    for (const auto& row : rows) {
        int value = 777;
        EXPECT_EQ(row.present, VKPlatformInfo::getRegInt("~FileSystemAgent", row.key, &value))
            << row.key;
        EXPECT_EQ(row.present ? row.value : 777, value) << row.key << ": untouched when absent";
    }
    int value = 777;
    EXPECT_FALSE(VKPlatformInfo::getRegInt("otherSection", "hex", &value));

    // Each read sees the file as it is now.
    config.Rewrite("[~FileSystemAgent]\nbBackupFromSnapshotOnly = 0\n");
    EXPECT_TRUE(VKPlatformInfo::getRegInt("~FileSystemAgent", "bBackupFromSnapshotOnly", &value));
    EXPECT_EQ(0, value);
    EXPECT_EQ(config.Path(), VKPlatformInfo::ConfigPath());
    // A missing config file holds no settings and changes nothing.
    TempDir dir;
    setenv("SNAPCLIENT_CONFIG", (dir / "absent.conf").c_str(), 1);
    std::string text = "unchanged";
    EXPECT_FALSE(VKPlatformInfo::getRegInt("~FileSystemAgent", "bBackupFromSnapshotOnly", &value));
    EXPECT_FALSE(VKPlatformInfo::getRegString("log", "file", &text));
    EXPECT_EQ(0, value);
    EXPECT_EQ("unchanged", text);
}

// ------------------------------------------------------------- log writers

TEST(LogWriterTest, FileWriterKeepsEveryMessageOnOneLine) {
    TempDir dir;
    {
        CFileLogWriter writer(1, dir / "client.log");
        writer.Log(-1, "void F(int)", 12, "name [%s]", "a\nb\tc\\d\re");
        writer.SetJobId(812);
        writer.Log(0, "line\nbreak()", 3, "%s", std::string(3000, 'x').c_str());
        writer.Log(1, "G", 4, "%s", "");
    }
    // Each line starts with its UTC time in milliseconds, the process and the job.
    const std::regex head("\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z\t" +
                          std::to_string(getpid()) + "\t(-|812)\t");
    EXPECT_EQ("-\t-1\tvoid F(int)\t12\tname [a\\nb\\tc\\\\d\\re]\n812\t0\tline\\nbreak()\t3\t" +
                  std::string(3000, 'x') + "\n812\t1\tG\t4\t\n",
              std::regex_replace(ReadFile(dir / "client.log"), head, "$1\t"));
}

TEST(LogWriterTest, ConfiguredWriterAndDebugTrace) {
    TempDir dir;
    ScopedConfig config("[log]\nlevel = 3\nfile = " + (dir / "configured.log") + "\n");
    std::unique_ptr<CFileLogWriter> configured(CreateConfiguredLogWriter());
    EXPECT_EQ(3, configured->GetLevel());
    configured->Log(0, "F", 1, "to the file");
    EXPECT_NE(std::string::npos, ReadFile(dir / "configured.log").find("to the file"));

    // Trace lines are level 2, written whenever the current level is above 0.
    for (const auto& row : std::vector<std::pair<int, size_t>>{{-1, 0}, {0, 0}, {1, 2}, {3, 2}}) {
        RecordingLogWriter recorder(row.first);
        { VKDebugFunction trace("CRyError CNetAppSnapClient::ManageSnapshots()", 42); }
        ASSERT_EQ(row.second, recorder.Lines().size()) << "level " << row.first;
        for (const auto& line : recorder.Lines()) {
            EXPECT_EQ(2, line.level);
            EXPECT_EQ("CRyError CNetAppSnapClient::ManageSnapshots()", line.function);
        }
    }
    // A null writer drops everything, also a trace whose writer vanished.
    RecordingLogWriter recorder(3);
    {
        VKDebugFunction trace("F", 1);  // entry written
        EXPECT_EQ(&recorder, SetLogWriter(nullptr));
        { VKDebugFunction silent("G", 2); }
    }  // exit goes nowhere
    EXPECT_EQ(nullptr, SetLogWriter(&recorder));
    EXPECT_EQ(1u, recorder.Lines().size());
}

// ---------------------------------------------------------------- VkMntTab

std::vector<std::string> MountTable(const std::string& path, CRyError& error) {
    ScopedConfig config(path.empty() ? "" : "[host]\nmount_table = " + path + "\n");
    std::list<VkMntTab::Entry> entries;
    error = VkMntTab::getAll(entries);
    std::vector<std::string> out;
    for (const auto& e : entries)
        out.push_back(e.strSource + "|" + e.strDirectory + "|" + e.strType + "|" + e.strOptions);
    return out;
}

TEST(VkMntTabTest, ReadsTableFileInOrderDecodingEscapes) {
    TempDir dir;
    const std::string longDir = "/mnt/" + std::string(1 << 20, 'L');
    WriteFile(dir / "mounts",
              "filer1:/vol/projects /mnt/projects nfs rw,vers=3 0 0\n# a comment line\n\n   \t\n"
              "filer2:/vol/a\\040b /mnt/with\\040space nfs4 ro 0 0\nlonely-source\n"
              "nodirs /mnt/nofields\nfiler3:/vol/long " + longDir + " nfs rw 0 0\ncorrupt" +
                  std::string(1, '\0') + "line /mnt/corrupt nfs rw 0 0\n" +
                  "filer4:/vol/last /mnt/last nfs rw 0 0");  // no final newline
    CRyError error;
    // A long line is not cut, a corrupt line does not hide the next.
    EXPECT_EQ((std::vector<std::string>{"filer1:/vol/projects|/mnt/projects|nfs|rw,vers=3",
                                        "filer2:/vol/a b|/mnt/with space|nfs4|ro",
                                        "nodirs|/mnt/nofields||",
                                        "filer3:/vol/long|" + longDir + "|nfs|rw",
                                        "filer4:/vol/last|/mnt/last|nfs|rw"}),
              MountTable(dir / "mounts", error));
    EXPECT_FALSE(error.IsError()) << error.AsString();

    for (const std::string& path : {dir / "absent", dir.Path()}) {
        EXPECT_TRUE(MountTable(path, error).empty());
        EXPECT_EQ(1627u, error.Win32Code()) << path;
        EXPECT_NE(std::string::npos, error.AsString().find(path)) << error.AsString();
    }
    WriteFile(dir / "empty", "");
    EXPECT_TRUE(MountTable(dir / "empty", error).empty());
    EXPECT_FALSE(error.IsError());
}

TEST(VkMntTabTest, ReadsTheSystemTableByDefault) {
    CRyError error;
    const std::vector<std::string> entries = MountTable("", error);
    ASSERT_FALSE(error.IsError()) << error.AsString();
    std::vector<std::string> lines;
    FXString::Split(ReadFile("/proc/self/mounts"), "\n", lines, 0);
    EXPECT_EQ(lines.size() - 1, entries.size()) << "one entry per line of the table";
    size_t rootAndProc = 0;
    for (const std::string& entry : entries)
        rootAndProc += entry.find("|/|") != std::string::npos ||
                       entry.find("|/proc|") != std::string::npos;
    EXPECT_GE(rootAndProc, 2u);
}

// ------------------------------------------------------ FileShareAutoMount

TEST(FileShareAutoMountTest, LongestWholeComponentPrefixWins) {
    ScopedConfig config(
        "[automount]\n/mnt = filer0:/vol/root\n/mnt/proj = filer1:/vol/projects\n"
        "/mnt/projects/deep/ = filer2:/vol/deep\n/mnt/projects = filer3:/vol/p3\n"
        "/bad = no-colon\n/badempty = :/vol/x\n/slash = filer5:/\n");
    const struct {
        const char* backup;
        bool failed, error;
        const char *mountFormat, *interface;
    } rows[] = {
        {"/mnt/proj", false, false, "filer1:/vol/projects", "filer1"},
        {"/mnt/proj/a/b/", false, false, "filer1:/vol/projects/a/b", "filer1"},
        {"/mnt/projX", false, false, "filer0:/vol/root/projX", "filer0"},
        {"/mnt/projects/x", false, false, "filer3:/vol/p3/x", "filer3"},
        {"/mnt/projects/deep", false, false, "filer2:/vol/deep", "filer2"},
        {"/mnt/projects/deep/e f", false, false, "filer2:/vol/deep/e f", "filer2"},
        {"/mnt/", false, false, "filer0:/vol/root", "filer0"},
        {"/slash/x", false, false, "filer5:/x", "filer5"},
        {"/other", true, false, "", ""},
        {"", true, false, "", ""},
        {"/bad/x", false, true, "", ""},
        {"/badempty", false, true, "", ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.backup);
        std::string mountFormat, interface;
        bool failed = false;
        CRyError error =
            FileShareAutoMount::convertScanToMountFormat(row.backup, mountFormat, interface, failed);
        EXPECT_EQ(row.error, error.IsError()) << error.AsString();
        EXPECT_EQ(row.failed, failed);
        EXPECT_EQ(row.mountFormat, mountFormat);
        EXPECT_EQ(row.interface, interface);
    }
    config.Rewrite("[client.1]\narray = filer1\n");
    std::string mountFormat, interface;
    bool failed = false;
    EXPECT_FALSE(
        FileShareAutoMount::convertScanToMountFormat("/mnt/a", mountFormat, interface, failed)
            .IsError());
    EXPECT_TRUE(failed) << "no [automount] section resolves nothing";
}

// ---------------------------------------------- DetermineSnapDiffMax, NASSnapUtil

// The defaults per array version and a plain setting are covered by the
// scan tests; here the settings that must be refused.
TEST(JobInfoTest, DetermineSnapDiffMaxRefusesBadSettings) {
    const struct {
        const char* config;
        bool ontap92, error;
        int expected;
    } rows[] = {
        {"[snapdiff]\nmax_items = 0x10\n", true, false, 16},
        {"[snapdiff]\nmax_items = 0\n", true, true, 256},
        {"[snapdiff]\nmax_items = -4\n", false, true, 256},
        {"[snapdiff]\nmax_items =\n", true, true, 256},
        {"[snapdiff]\nmax_items = 99999999999\n", true, true, 256},
        {"[snapdiff]\nother = 5\n", true, false, 1024},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.config);
        ScopedConfig config(row.config);
        int maxItems = 256;
        CRyError result = CJobInfoIndexNasFs().DetermineSnapDiffMax(
            row.ontap92, VKAPP_NAS_FILESYSTEM, 7, 8, maxItems);
        EXPECT_EQ(row.error ? 1627u : 0u, result.Win32Code());
        EXPECT_EQ(row.expected, maxItems);
    }
}

TEST(NASSnapUtilTest, CredentialsPerClientId) {
    ScopedConfig config(
        "[client.1]\narray = filer1\nclient_name = lif1\nuser = admin\npassword = s3cret\n"
        "management_address = 10.0.0.1\n[client.2]\narray = filer2\n"
        "[client.3]\nclient_name = orphan\n[client.4]\narray =\n[client.-1]\narray = negative\n");
    const struct {
        int id;
        bool found;
        const char *array, *client, *user, *password, *address;
    } rows[] = {
        {1, true, "filer1", "lif1", "admin", "s3cret", "10.0.0.1"},
        {2, true, "filer2", "filer2", "", "", ""},
        {3, false, "", "", "", "", ""},
        {4, false, "", "", "", "", ""},
        {-1, true, "negative", "negative", "", "", ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.id);
        NASSnapUtil util;
        EXPECT_TRUE(util.Initialize());
        NASArrayInfo info;
        info.strPassword = row.found ? "stale" : "";
        EXPECT_EQ(row.found, util.GetArrayNameAndCredentialsByClientId(row.id, info));
        EXPECT_EQ(row.array, info.strArrayName);
        EXPECT_EQ(row.client, info.strClientName);
        EXPECT_EQ(row.user, info.strUserName);
        EXPECT_EQ(row.password, info.strPassword);
        EXPECT_EQ(row.address, info.strManagementAddress);
    }
}

TEST(NASSnapUtilTest, SetONTAPObjectDetachesWhenNoBackEndCanBeBuilt) {
    ScriptedArrayInstall install{ArrayScript()};
    NASArrayInfo info;
    info.strArrayName = "filer1";
    ManageONTAP ontap;
    NASSnapUtil util;
    EXPECT_TRUE(util.SetONTAPObject(info, ontap, MONTAP_CONNECT_HTTP, false));
    EXPECT_TRUE(ontap.OpenConnection());
    // The earlier back end does not stay behind to answer for another array
    // (the logged failure is checked with the client's connection errors).
    SetArrayBackendOverride(
        [](const NASArrayInfo&) { return boost::shared_ptr<ArrayBackend>(); });
    RecordingLogWriter log(-1);
    EXPECT_FALSE(util.SetONTAPObject(info, ontap, MONTAP_CONNECT_HTTP, false));
    EXPECT_TRUE(ontap.Backend() == nullptr);
    EXPECT_FALSE(ontap.OpenConnection());
}

}  // namespace
