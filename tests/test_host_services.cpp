// The host library's services, one group per service, against real files
// (config, mount table, log file) written into a temporary folder.
#include "array/ArrayBackendFactory.h"
#include "host/ContentMapper.h"
#include "host/FXErrorUtil.h"
#include "host/FXFile.h"
#include "host/FXPath.h"
#include "host/FXString.h"
#include "host/FileLogWriter.h"
#include "host/FileShareAutoMount.h"
#include "host/IniFile.h"
#include "host/JobInfo.h"
#include "host/NASSnapUtil.h"
#include "host/SendEvent.h"
#include "host/VKPlatformInfo.h"
#include "host/VkMntTab.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <boost/make_shared.hpp>
#include <sstream>

using namespace testsupport;

namespace {

// ---------------------------------------------------------------- CRyError

TEST(CRyErrorTest, StatusAndOrigin) {
    struct Row {
        const char* name;
        CRyError error;
        bool isError;
        uint32_t win32;
        uint32_t eventId;
        const char* message;
    };
    const Row rows[] = {
        {"success", CRyError::Success(), false, 0, 0, ""},
        {"win32 without message", FXErrorUtil::ErrorWin32(FX_LOCATION, ERROR_OUTOFMEMORY), true,
         14, 0, ""},
        {"win32 with message",
         FXErrorUtil::ErrorWin32(FX_LOCATION, ERROR_FUNCTION_FAILED, "Unable to [%s] %d", "x", 7),
         true, 1627, 0, "Unable to [x] 7"},
        {"high win32 code", FXErrorUtil::ErrorWin32(FX_LOCATION, 0xFFFF), true, 0xFFFF, 0, ""},
        {"event", FXErrorUtil::ErrorEventMessage(FX_LOCATION, 0x11000093), true, 0, 0x11000093,
         ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(row.isError, row.error.IsError());
        EXPECT_EQ(row.isError, row.error.Status() < 0);
        EXPECT_EQ(row.win32, row.error.Win32Code());
        EXPECT_EQ(row.eventId, row.error.EventId());
        EXPECT_EQ(row.message, row.error.Message());
    }
}

TEST(CRyErrorTest, CopiesShareDetailsAndPushesKeepOrder) {
    CRyError origin =
        FXErrorUtil::ErrorWin32(FXCodeLocation("a.cpp", "void Inner()", 10), 1627, "root cause");
    CRyError copy = origin;
    copy.Push(FXCodeLocation("b.cpp", "void Middle()", 20));
    origin.Push(FXCodeLocation("c.cpp", "void Outer()", 30), "while %s", "configuring");

    ASSERT_EQ(3u, copy.Frames().size()) << "a push on one copy must show in the other";
    EXPECT_EQ("void Inner()", copy.Frames()[0].location.strFunction);
    EXPECT_EQ("void Middle()", copy.Frames()[1].location.strFunction);
    EXPECT_EQ("void Outer()", copy.Frames()[2].location.strFunction);
    EXPECT_EQ("while configuring", copy.Frames()[2].strMessage);
    EXPECT_EQ(30, copy.Frames()[2].location.iLine);
    EXPECT_EQ("root cause", copy.Message());

    const std::string text = origin.AsString();
    for (const char* part : {"1627", "root cause", "void Inner()", "a.cpp:10", "void Middle()",
                             "void Outer()", "while configuring"})
        EXPECT_NE(std::string::npos, text.find(part)) << part << " missing in " << text;
    EXPECT_LT(text.find("void Inner()"), text.find("void Middle()"));
    EXPECT_LT(text.find("void Middle()"), text.find("void Outer()"));
    EXPECT_EQ(std::string::npos, text.find('\0'));
}

TEST(CRyErrorTest, EventArgumentsAppearInOrder) {
    CRyError event = FXErrorUtil::ErrorEventMessage(FX_LOCATION, 0x110000A5);
    event.AddArgument("VKOP_1_2_3").AddArgument("/mnt/a/.snapshot/VKOP_1_2_3");
    ASSERT_EQ(2u, event.EventArguments().size());
    EXPECT_EQ("VKOP_1_2_3", event.EventArguments()[0]);
    const std::string text = event.AsString();
    EXPECT_NE(std::string::npos, text.find("110000A5"));
    EXPECT_LT(text.find("[VKOP_1_2_3]"), text.find("[/mnt/a/.snapshot/VKOP_1_2_3]"));

    // A success carries nothing, and pushing onto it does not make it fail.
    CRyError ok;
    ok.Push(FX_LOCATION);
    EXPECT_FALSE(ok.IsError());
    EXPECT_TRUE(ok.EventArguments().empty());
}

// ------------------------------------------------------------------ FXPath

TEST(FXPathTest, IsDescendantOf) {
    struct Row {
        const char* path;
        const char* dir;
        bool orEqual;
        bool expected;
    };
    const Row rows[] = {
        {"/a/b", "/a", false, true},     {"/a", "/a", false, false},
        {"/a", "/a", true, true},        {"/ab", "/a", true, false},
        {"/a", "/ab", true, false},      {"/a/", "/a", true, true},
        {"/a/b/", "/a/", false, true},   {"/a/b", "/a/b/c", true, false},
        {"/x", "/", false, true},        {"/", "/", false, false},
        {"/", "/", true, true},          {"//", "/", true, true},
        {"/a//b", "/a", false, true},    {"/A/b", "/a", true, false},
        {"relative/x", "relative", false, true},
        {"/a", "", true, false},         {"", "", true, false},
        {"", "/", true, false},          {"/mnt/a b/c", "/mnt/a b", false, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.path) + " under " + row.dir);
        EXPECT_EQ(row.expected, FXPath::IsDescendantOf(row.path, row.dir, row.orEqual));
        EXPECT_EQ(row.expected, FXPath::IsAncestorOf(row.dir, row.path, row.orEqual));
    }
}

TEST(FXPathTest, AppendRemoveAndTrailingDelimiters) {
    struct AppendRow {
        const char* path;
        const char* part;
        const char* expected;
    };
    const AppendRow appends[] = {
        {"/vol/p", "sub/dir", "/vol/p/sub/dir"}, {"/vol/p", "/sub", "/vol/p/sub"},
        {"/vol/p/", "/sub", "/vol/p/sub"},       {"/vol/p/", "sub", "/vol/p/sub"},
        {"/vol/p", "", "/vol/p"},                {"", "sub", "sub"},
        {"/", "/x", "/x"},                       {"/a", "/", "/a/"},
    };
    for (const AppendRow& row : appends) {
        std::string path = row.path;
        EXPECT_FALSE(FXPath::Append(path, row.part, 0).IsError());
        EXPECT_EQ(row.expected, path) << row.path << " + " << row.part;
    }

    struct RemoveRow {
        const char* path;
        const char* dir;
        const char* expected;
    };
    const RemoveRow removes[] = {
        {"/mnt/projects/sub/dir", "/mnt/projects", "/sub/dir"},
        {"/mnt/projects/sub", "/mnt/projects/", "/sub"},
        {"/mnt/projects", "/mnt/projects", "/mnt/projects"},
        {"/mnt/projectsX/a", "/mnt/projects", "/mnt/projectsX/a"},
        {"/x/y", "/", "/x/y"},
    };
    for (const RemoveRow& row : removes) {
        std::string path = row.path;
        FXPath::RemovePathFromFileName(path, row.dir);
        EXPECT_EQ(row.expected, path) << row.path << " - " << row.dir;
    }

    struct TrailRow {
        const char* path;
        const char* withDelimiter;
        const char* withoutDelimiter;
    };
    const TrailRow trails[] = {
        {"/a/b", "/a/b/", "/a/b"}, {"/a/b/", "/a/b/", "/a/b"}, {"/a/b///", "/a/b///", "/a/b"},
        {"/", "/", "/"},           {"", "", ""},
    };
    for (const TrailRow& row : trails) {
        std::string with = row.path, without = row.path;
        FXPath::AppendTrailingDelimiter(with);
        FXPath::RemoveTrailingDelimiter(without);
        EXPECT_EQ(row.withDelimiter, with) << row.path;
        EXPECT_EQ(row.withoutDelimiter, without) << row.path;
    }
}

TEST(FXPathTest, DoesPathExistAndOpen) {
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
    CRyError failed = FXFile::vkfopen(file, dir / "no/such/dir", "w");
    EXPECT_EQ(1627u, failed.Win32Code());
    EXPECT_EQ(nullptr, file);
    ASSERT_FALSE(FXFile::vkfopen(file, dir / "written", "w").IsError());
    auto_fileptr owned(file);
    EXPECT_EQ(3u, fwrite("abc", 1, 3, owned.get()));
    EXPECT_EQ(0, owned.close());
    EXPECT_EQ("abc", ReadFile(dir / "written"));
}

// ---------------------------------------------------------------- FXString

TEST(FXStringTest, SplitKeepsEmptyPieces) {
    struct Row {
        const char* text;
        const char* delimiter;
        std::vector<std::string> pieces;
    };
    const Row rows[] = {
        {"m:/a:/b:", ":", {"m", "/a", "/b", ""}},
        {":x", ":", {"", "x"}},
        {"a::b", ":", {"a", "", "b"}},
        {"", ":", {}},
        {"abc", "", {"abc"}},
        {"a--b--", "--", {"a", "b", ""}},
    };
    for (const Row& row : rows) {
        std::vector<std::string> pieces{"stale"};
        FXString::Split(row.text, row.delimiter, pieces, 0);
        EXPECT_EQ(row.pieces, pieces) << row.text;
    }
}

TEST(FXStringTest, EditsAtTheEdges) {
    struct Row {
        const char* op;
        const char* text;
        const char* a;
        const char* b;
        const char* expected;
        size_t count;
    };
    const Row rows[] = {
        {"TrimRight", "line \r\n", " \r\n", "", "line", 0},
        {"TrimRight", "\n\n", "\n", "", "", 0},
        {"TrimRight", "keep", "\n", "", "keep", 0},
        {"RemoveRight", "/a/b//", "/", "", "/a/b", 0},
        {"RemoveRight", "xabab", "ab", "", "x", 0},
        {"RemoveRight", "abc", "", "", "abc", 0},
        {"ReplaceLeft", "/mnt/p/a", "/mnt/p", "/snap", "/snap/a", 1},
        {"ReplaceLeft", "/mnt/q/a", "/mnt/p", "/snap", "/mnt/q/a", 0},
        {"ReplaceLeft", "/m", "/mnt/p", "/snap", "/m", 0},
        {"ReplaceAll", "a\\\\b\\\\", "\\\\", "\\", "a\\b\\", 2},
        {"ReplaceAll", "aaa", "a", "aa", "aaaaaa", 3},
        {"ReplaceAll", "abc", "", "x", "abc", 0},
    };
    for (const Row& row : rows) {
        std::string text = row.text;
        size_t count = 0;
        const std::string op = row.op;
        if (op == "TrimRight") FXString::TrimRight(text, row.a);
        if (op == "RemoveRight") FXString::RemoveRight(text, row.a);
        if (op == "ReplaceLeft") count = FXString::ReplaceLeft(text, row.a, row.b) ? 1 : 0;
        if (op == "ReplaceAll") count = FXString::ReplaceAll(text, row.a, row.b);
        EXPECT_EQ(row.expected, text) << op << " " << row.text;
        EXPECT_EQ(row.count, count) << op << " " << row.text;
    }
    EXPECT_EQ("VKOP_4294967295_0_", FXString::Format("%s_%u_%u_", "VKOP", 4294967295u, 0u));
    EXPECT_EQ("", FXString::Format("%s", ""));
}

// ---------------------------------------------------- IniFile, VKPlatformInfo

TEST(ConfigTest, IniParsing) {
    std::istringstream in(
        "; comment\n"
        "top = before any section\n"
        "[automount]\r\n"
        "/mnt/b = f:/b\n"
        "  /mnt/a b/  =  f:/a  \n"
        "/mnt/b = f:/b2\n"
        "# /mnt/c = f:/c\n"
        "garbage line without equals\n"
        "= no key\n"
        "[ other ]\n"
        "k=v=w\n");
    IniFile ini;
    ini.Parse(in);
    ASSERT_NE(nullptr, ini.Find("", "top"));
    const auto entries = ini.Entries("automount");
    ASSERT_EQ(2u, entries.size());
    EXPECT_EQ("/mnt/b", entries[0].first);
    EXPECT_EQ("f:/b2", entries[0].second) << "a later value replaces an earlier one";
    EXPECT_EQ("/mnt/a b/", entries[1].first);
    EXPECT_EQ("f:/a", entries[1].second);
    ASSERT_NE(nullptr, ini.Find("other", "k"));
    EXPECT_EQ("v=w", *ini.Find("other", "k"));
    EXPECT_EQ(nullptr, ini.Find("automount", "/mnt/c"));
    EXPECT_TRUE(ini.Entries("missing").empty());

    IniFile reloaded = ini;
    EXPECT_FALSE(reloaded.Load("/nonexistent/snapclient.conf"));
    EXPECT_TRUE(reloaded.Entries("automount").empty()) << "a failed load holds nothing";
}

TEST(ConfigTest, RegistryIntegers) {
    ScopedConfig config(
        "[~FileSystemAgent]\n"
        "bBackupFromSnapshotOnly = 1\n"
        "zero = 0\nhex = 0x1F\nHEX = 0XfF\nnegative = -5\nleadingZero = 010\n"
        "text = yes\nempty =\ntrailing = 12abc\nhuge = 99999999999\nhexOnly = 0x\n"
        "signOnly = -\nfloat = 1.5\nmax = 2147483647\nmin = -2147483648\n");
    struct Row {
        const char* key;
        bool present;
        int value;
    };
    const Row rows[] = {
        {"bBackupFromSnapshotOnly", true, 1}, {"zero", true, 0},    {"hex", true, 31},
        {"HEX", true, 255},                   {"negative", true, -5}, {"leadingZero", true, 10},
        {"text", false, 0},                   {"empty", false, 0},  {"trailing", false, 0},
        {"huge", false, 0},                   {"hexOnly", false, 0}, {"signOnly", false, 0},
        {"float", false, 0},                  {"missing", false, 0},
        {"max", true, 2147483647},            {"min", true, -2147483647 - 1},
    };
    for (const Row& row : rows) {
        int value = 777;
        EXPECT_EQ(row.present, VKPlatformInfo::getRegInt("~FileSystemAgent", row.key, &value))
            << row.key;
        EXPECT_EQ(row.present ? row.value : 777, value) << row.key << ": untouched when absent";
    }
    int value = 777;
    EXPECT_FALSE(VKPlatformInfo::getRegInt("otherSection", "zero", &value));

    // Each read sees the file as it is now.
    config.Rewrite("[~FileSystemAgent]\nbBackupFromSnapshotOnly = 0\n");
    EXPECT_TRUE(VKPlatformInfo::getRegInt("~FileSystemAgent", "bBackupFromSnapshotOnly", &value));
    EXPECT_EQ(0, value);
    EXPECT_EQ(config.Path(), VKPlatformInfo::ConfigPath());
}

TEST(ConfigTest, MissingConfigFileHoldsNoSettings) {
    TempDir dir;
    ScopedConfig config("");
    setenv("SNAPCLIENT_CONFIG", (dir / "absent.conf").c_str(), 1);
    int value = 5;
    std::string text = "unchanged";
    EXPECT_FALSE(VKPlatformInfo::getRegInt("~FileSystemAgent", "bBackupFromSnapshotOnly", &value));
    EXPECT_FALSE(VKPlatformInfo::getRegString("log", "file", &text));
    EXPECT_EQ(5, value);
    EXPECT_EQ("unchanged", text);
}

// ------------------------------------------------------------- log writers

TEST(LogWriterTest, FileWriterKeepsEveryMessageOnOneLine) {
    TempDir dir;
    const std::string path = dir / "client.log";
    {
        CFileLogWriter writer(1, path);
        writer.Log(-1, "void F(int)", 12, "name [%s]", "a\nb\tc\\d\re");
        writer.Log(0, "line\nbreak()", 3, "%s", std::string(3000, 'x').c_str());
        writer.Log(1, "G", 4, "%s", "");
    }
    const std::string text = ReadFile(path);
    std::vector<std::string> lines;
    FXString::Split(text, "\n", lines, 0);
    ASSERT_EQ(4u, lines.size()) << text;
    EXPECT_EQ("-1\tvoid F(int)\t12\tname [a\\nb\\tc\\\\d\\re]", lines[0]);
    EXPECT_EQ("0\tline\\nbreak()\t3\t" + std::string(3000, 'x'), lines[1]);
    EXPECT_EQ("1\tG\t4\t", lines[2]);
    EXPECT_EQ("", lines[3]);
    EXPECT_EQ("plain", CFileLogWriter::EscapeField("plain"));
}

TEST(LogWriterTest, ConfiguredWriterAndDebugTrace) {
    TempDir dir;
    ScopedConfig config("[log]\nlevel = 3\nfile = " + (dir / "configured.log") + "\n");
    std::unique_ptr<CFileLogWriter> configured(CreateConfiguredLogWriter());
    EXPECT_EQ(3, configured->GetLevel());
    configured->Log(0, "F", 1, "to the file");
    EXPECT_NE(std::string::npos, ReadFile(dir / "configured.log").find("to the file"));

    // Trace lines are level 2, written whenever the current level is above 0.
    struct Row {
        int level;
        size_t lines;
    };
    for (const Row& row : {Row{-1, 0}, Row{0, 0}, Row{1, 2}, Row{2, 2}, Row{3, 2}}) {
        RecordingLogWriter recorder(row.level);
        { VKDebugFunction trace("CRyError CNetAppSnapClient::ManageSnapshots()", 42); }
        ASSERT_EQ(row.lines, recorder.Lines().size()) << "level " << row.level;
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

TEST(VkMntTabTest, ReadsTableFileInOrderDecodingEscapes) {
    TempDir dir;
    const std::string longDir = "/mnt/" + std::string(1 << 20, 'L');
    std::string corrupt = "corrupt";
    corrupt += '\0';
    corrupt += "line /mnt/corrupt nfs rw 0 0\n";
    const std::string table =
        "filer1:/vol/projects /mnt/projects nfs rw,vers=3 0 0\n"
        "# a comment line\n"
        "\n"
        "   \t\n"
        "filer2:/vol/a\\040b /mnt/with\\040space nfs4 ro 0 0\n"
        "lonely-source\n"
        "nodirs /mnt/nofields\n"
        "filer3:/vol/long " + longDir + " nfs rw 0 0\n" + corrupt +
        "filer4:/vol/last /mnt/last nfs rw 0 0";  // no final newline
    WriteFile(dir / "mounts", table);
    ScopedConfig config("[host]\nmount_table = " + (dir / "mounts") + "\n");

    std::list<VkMntTab::Entry> entries;
    CRyError error = VkMntTab::getAll(entries);
    ASSERT_FALSE(error.IsError()) << error.AsString();
    std::vector<VkMntTab::Entry> got(entries.begin(), entries.end());
    ASSERT_EQ(5u, got.size());
    EXPECT_EQ("filer1:/vol/projects", got[0].strSource);
    EXPECT_EQ("/mnt/projects", got[0].strDirectory);
    EXPECT_EQ("nfs", got[0].strType);
    EXPECT_EQ("rw,vers=3", got[0].strOptions);
    EXPECT_EQ("filer2:/vol/a b", got[1].strSource);
    EXPECT_EQ("/mnt/with space", got[1].strDirectory);
    EXPECT_EQ("nodirs", got[2].strSource);
    EXPECT_EQ("/mnt/nofields", got[2].strDirectory);
    EXPECT_EQ("", got[2].strType);
    EXPECT_EQ(longDir, got[3].strDirectory) << "a long line must not be cut";
    EXPECT_EQ("filer4:/vol/last", got[4].strSource) << "a corrupt line must not hide the next";
    EXPECT_EQ("/mnt/last", got[4].strDirectory);
}

TEST(VkMntTabTest, UnreadableTablesFailNamingTheFile) {
    TempDir dir;
    for (const std::string& path : {dir / "absent", dir.Path()}) {
        ScopedConfig config("[host]\nmount_table = " + path + "\n");
        std::list<VkMntTab::Entry> entries;
        CRyError error = VkMntTab::getAll(entries);
        EXPECT_EQ(1627u, error.Win32Code()) << path;
        EXPECT_NE(std::string::npos, error.AsString().find(path)) << error.AsString();
        EXPECT_TRUE(entries.empty());
    }
    WriteFile(dir / "empty", "");
    ScopedConfig config("[host]\nmount_table = " + (dir / "empty") + "\n");
    std::list<VkMntTab::Entry> entries;
    EXPECT_FALSE(VkMntTab::getAll(entries).IsError());
    EXPECT_TRUE(entries.empty());
}

TEST(VkMntTabTest, ReadsTheSystemTable) {
    ScopedConfig config("");
    std::list<VkMntTab::Entry> entries;
    CRyError error = VkMntTab::getAll(entries);
    ASSERT_FALSE(error.IsError()) << error.AsString();
    ASSERT_FALSE(entries.empty());
    bool hasRoot = false, hasProc = false;
    for (const auto& entry : entries) {
        hasRoot |= entry.strDirectory == "/";
        hasProc |= entry.strDirectory == "/proc";
        EXPECT_FALSE(entry.strDirectory.empty());
    }
    EXPECT_TRUE(hasRoot && hasProc);
    std::vector<std::string> lines;
    FXString::Split(ReadFile("/proc/self/mounts"), "\n", lines, 0);
    EXPECT_EQ(lines.size() - 1, entries.size()) << "one entry per line of the table";
}

// ------------------------------------------------------ FileShareAutoMount

TEST(FileShareAutoMountTest, LongestWholeComponentPrefixWins) {
    ScopedConfig config(
        "[automount]\n"
        "/mnt = filer0:/vol/root\n"
        "/mnt/proj = filer1:/vol/projects\n"
        "/mnt/projects/deep/ = filer2:/vol/deep\n"
        "/mnt/projects = filer3:/vol/p3\n"
        "/bad = no-colon\n"
        "/badempty = :/vol/x\n"
        "/slash = filer5:/\n");
    struct Row {
        const char* backup;
        bool failed;
        bool error;
        const char* mountFormat;
        const char* interface;
    };
    const Row rows[] = {
        {"/mnt/proj", false, false, "filer1:/vol/projects", "filer1"},
        {"/mnt/proj/a/b", false, false, "filer1:/vol/projects/a/b", "filer1"},
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
    for (const Row& row : rows) {
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

// ------------------------------------------------- job events, content map

class CountingSink : public ISendEventInterface {
public:
    void SendEvent(const CRyError&, int, int) override { ++sent; }
    int sent = 0;
};

TEST(SendEventTest, RecorderKeepsEventsAndCanBeReplaced) {
    CRecordingEventSink& recorder = CRecordingEventSink::Default();
    recorder.Clear();
    ASSERT_EQ(&recorder, ISendEventInterface::GetInstance());

    CRyError event = FXErrorUtil::ErrorEventMessage(FX_LOCATION, 0x11000093);
    event.AddArgument("VKOP_1_0_5").AddArgument("/vol/p").AddArgument("array said no");
    ISendEventInterface::GetInstance()->SendEvent(event, 6, 0);
    ISendEventInterface::GetInstance()->SendEvent(FXErrorUtil::ErrorWin32(FX_LOCATION, 1627), 1,
                                                  2);
    auto events = recorder.Events();
    ASSERT_EQ(2u, events.size());
    EXPECT_EQ(0x11000093u, events[0].uiEventId);
    EXPECT_EQ((std::vector<std::string>{"VKOP_1_0_5", "/vol/p", "array said no"}),
              events[0].vecArguments);
    EXPECT_EQ(event.AsString(), events[0].strText);
    EXPECT_EQ(6, events[0].iSeverity);
    EXPECT_EQ(0, events[0].iFlags);
    EXPECT_EQ(0u, events[1].uiEventId);
    EXPECT_EQ(2, events[1].iFlags);

    CountingSink counting;
    EXPECT_EQ(&recorder, ISendEventInterface::SetInstance(&counting));
    ISendEventInterface::GetInstance()->SendEvent(event, 6, 0);
    EXPECT_EQ(1, counting.sent);
    EXPECT_EQ(&counting, ISendEventInterface::SetInstance(nullptr));
    EXPECT_EQ(&recorder, ISendEventInterface::GetInstance());
    EXPECT_EQ(2u, recorder.Events().size());
    recorder.Clear();
    EXPECT_TRUE(recorder.Events().empty());
}

TEST(ContentMapperTest, PathMapRoundTripsThroughTheInterface) {
    boost::shared_ptr<CContentMapper> mapper = boost::make_shared<CContentMapper>();
    ContentMapperAPIPtr api = mapper;
    std::map<std::string, std::string> paths{{"/mnt/a/", "/mnt/a/.snapshot/VKOP_1_0_2/"},
                                             {"/mnt/b/", "/mnt/b/"}};
    api->SetPathMap(paths);
    EXPECT_EQ(paths, mapper->GetPathMap());
    api->SetPathMap({});
    EXPECT_TRUE(mapper->GetPathMap().empty()) << "a new map replaces the old one whole";
}

// ------------------------------------------------------ DetermineSnapDiffMax

TEST(JobInfoTest, DetermineSnapDiffMax) {
    struct Row {
        const char* config;
        bool ontap92;
        bool error;
        int expected;
    };
    const Row rows[] = {
        {"", false, false, 256},
        {"", true, false, 1024},
        {"[snapdiff]\nmax_items = 50\n", false, false, 50},
        {"[snapdiff]\nmax_items = 50\n", true, false, 50},
        {"[snapdiff]\nmax_items = 0x10\n", true, false, 16},
        {"[snapdiff]\nmax_items = 0\n", true, true, 256},
        {"[snapdiff]\nmax_items = -4\n", false, true, 256},
        {"[snapdiff]\nmax_items = lots\n", true, true, 256},
        {"[snapdiff]\nmax_items =\n", true, true, 256},
        {"[snapdiff]\nmax_items = 99999999999\n", true, true, 256},
        {"[snapdiff]\nother = 5\n", true, false, 1024},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.config) + (row.ontap92 ? " 9.2" : " older"));
        ScopedConfig config(row.config);
        int maxItems = 256;
        CRyError result = CJobInfoIndexNasFs().DetermineSnapDiffMax(
            row.ontap92, VKAPP_NAS_FILESYSTEM, 7, 8, maxItems);
        EXPECT_EQ(row.error, result.IsError());
        EXPECT_EQ(row.error ? 1627u : 0u, result.Win32Code());
        EXPECT_EQ(row.expected, maxItems);
    }
}

// ---------------------------------------------------------------- NASSnapUtil

TEST(NASSnapUtilTest, CredentialsPerClientId) {
    ScopedConfig config(
        "[client.1]\narray = filer1\nclient_name = lif1\nuser = admin\npassword = s3cret\n"
        "management_address = 10.0.0.1\n"
        "[client.2]\narray = filer2\n"
        "[client.3]\nclient_name = orphan\n"
        "[client.4]\narray =\n"
        "[client.-1]\narray = negative\n");
    struct Row {
        int id;
        bool found;
        const char* array;
        const char* client;
        const char* user;
        const char* password;
        const char* address;
    };
    const Row rows[] = {
        {1, true, "filer1", "lif1", "admin", "s3cret", "10.0.0.1"},
        {2, true, "filer2", "filer2", "", "", ""},
        {3, false, "", "", "", "", ""},
        {4, false, "", "", "", "", ""},
        {5, false, "", "", "", "", ""},
        {-1, true, "negative", "negative", "", "", ""},
    };
    for (const Row& row : rows) {
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
    TempDir dir;
    setenv("SNAPCLIENT_CONFIG", (dir / "absent").c_str(), 1);
    NASArrayInfo info;
    EXPECT_FALSE(NASSnapUtil().GetArrayNameAndCredentialsByClientId(1, info));
}

TEST(NASSnapUtilTest, SetONTAPObjectAttachesOrDetaches) {
    ArrayScript script;
    ScriptedArrayInstall install(script);
    NASArrayInfo info;
    info.strArrayName = "filer1";
    ManageONTAP ontap;
    NASSnapUtil util;
    EXPECT_TRUE(util.SetONTAPObject(info, ontap, MONTAP_CONNECT_HTTP, false));
    ASSERT_TRUE(ontap.Backend() != nullptr);
    EXPECT_TRUE(ontap.OpenConnection());

    // A factory that cannot build a back end: the failure is logged and the
    // earlier back end does not stay behind to answer for another array.
    SetArrayBackendOverride(
        [](const NASArrayInfo&) { return boost::shared_ptr<ArrayBackend>(); });
    RecordingLogWriter log(-1);
    EXPECT_FALSE(util.SetONTAPObject(info, ontap, MONTAP_CONNECT_HTTP, false));
    EXPECT_TRUE(ontap.Backend() == nullptr);
    EXPECT_FALSE(ontap.OpenConnection());
    ASSERT_EQ(1u, log.Lines().size()) << log.Dump();
    EXPECT_EQ(-1, log.Lines()[0].level);
    EXPECT_NE(std::string::npos, log.Lines()[0].message.find("[filer1]"));
}

}  // namespace
