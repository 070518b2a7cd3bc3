// The snapshot map file: written from the content mapper path map, read
// back line by line by the post-backup cleanup. A write that does not reach
// the disk is reported; a long line stays one record.
#include "tests/LifecycleTestEnv.h"

using namespace lifecycle;
using testsupport::ReadFile;
using testsupport::RecordingLogWriter;
using testsupport::WriteFile;

namespace {

class OtherMapper : public ContentMapperAPI {
public:
    void SetPathMap(const std::map<std::string, std::string>&) override {}
};

const std::map<std::string, std::string> kPaths = {
    {"/mnt/b/", "/mnt/b/.snapshot/" + Snap(2)},
    {"/mnt/a/", "/mnt/a/"},
};
const std::string kRecords =
    "m:/mnt/a/:/mnt/a/:\nm:/mnt/b/:/mnt/b/.snapshot/" + Snap(2) + ":\n";

struct WriteRow {
    const char* name;
    std::string file;  // "" unset; relative names go to the results folder
    std::map<std::string, std::string> paths;
    uint32_t code;
    std::string message;  // "%s" stands for the file path
};

TEST(LifecycleMapFile, AddSnapDevInfo) {
    const std::vector<WriteRow> rows = {
        {"records in key order", "map.vkf", kPaths, 0, ""},
        {"empty map creates the file", "map.vkf", {}, 0, ""},
        {"no file set", "", kPaths, 1627, "SnapMapInfo file not set"},
        {"folder missing", "missing/map.vkf", kPaths, 1627, " Failed to open [%s] file"},
        {"disk full", "/dev/full", kPaths, 1627, "Failed to write [%s] file"},
    };
    for (const WriteRow& row : rows) {
        SCOPED_TRACE(row.name);
        Env env;
        env.Install();
        auto client = env.Client(2, 1);
        const std::string file =
            row.file.empty() || row.file[0] == '/' ? row.file : env.Results() + "/" + row.file;
        client->m_strSnapMapInfoFile = file;
        client->m_mapContentMapperPaths = row.paths;
        CRyError err = client->AddSnapDevInfo();
        if (row.code == 0) {
            ASSERT_FALSE(err.IsError()) << err.AsString();
            EXPECT_EQ(ReadFile(file), row.paths.empty() ? "" : kRecords);
            continue;
        }
        EXPECT_EQ(err.Win32Code(), row.code);
        std::string message = row.message;
        const size_t at = message.find("%s");
        if (at != std::string::npos) message.replace(at, 2, file);
        EXPECT_EQ(err.Message(), message);
    }
}

TEST(LifecycleMapFile, UpdateContentMapperPaths) {
    {
        SCOPED_TRACE("a new content mapper receives the map; every call appends");
        Env env;
        env.Install();
        RecordingLogWriter log;
        auto client = env.Client(2, 1);
        client->m_mapContentMapperPaths = kPaths;
        ContentMapperAPIPtr mapper;
        ASSERT_FALSE(client->UpdateContentMapperPaths(mapper).IsError());
        auto concrete = boost::dynamic_pointer_cast<CContentMapper>(mapper);
        ASSERT_TRUE(concrete);
        EXPECT_EQ(concrete->GetPathMap(), kPaths);
        EXPECT_TRUE(log.Has(0, "Content mapper path: /mnt/a/ : /mnt/a/"));
        EXPECT_TRUE(log.Has(0, "Content mapper path: /mnt/b/ : /mnt/b/.snapshot/" + Snap(2)));
        ASSERT_FALSE(client->UpdateContentMapperPaths(mapper).IsError());
        EXPECT_EQ(ReadFile(env.MapFile()), kRecords + kRecords);
    }
    {
        SCOPED_TRACE("empty map: no content mapper, file created and left as it is");
        Env env;
        env.Install();
        RecordingLogWriter log;
        auto client = env.Client(2, 1);
        ContentMapperAPIPtr mapper;
        ASSERT_FALSE(client->UpdateContentMapperPaths(mapper).IsError());
        EXPECT_FALSE(mapper);
        EXPECT_TRUE(testsupport::FileExists(env.MapFile()));
        WriteFile(env.MapFile(), "m:/x/:/x/:\n");
        ASSERT_FALSE(client->UpdateContentMapperPaths(mapper).IsError());
        EXPECT_EQ(ReadFile(env.MapFile()), "m:/x/:/x/:\n");
        EXPECT_EQ(log.CountContaining("Content mapper path"), 0u);
    }
    {
        // The content mapper is told before the file fails.
        SCOPED_TRACE("a failing map file comes back with our location");
        Env env;
        env.Install();
        auto client = env.Client(2, 1);
        client->m_strSnapMapInfoFile = "/dev/full";
        client->m_mapContentMapperPaths = kPaths;
        ContentMapperAPIPtr mapper = NewMapper();
        CRyError err = client->UpdateContentMapperPaths(mapper);
        EXPECT_EQ(err.Win32Code(), 1627u);
        EXPECT_EQ(err.Frames().size(), 2u);
        EXPECT_EQ(boost::dynamic_pointer_cast<CContentMapper>(mapper)->GetPathMap(), kPaths);
    }
}

struct RepopulateRow {
    const char* name;
    ContentMapperAPIPtr mapper;
    std::string file;  // "-": the job's map file
    uint32_t code;
    std::string message;
    std::map<std::string, std::string> pathsAfter;
    bool autoMountAfter;
    std::string fileAfter;  // of the job's map file
    std::string logged;
};

// Repopulation rewrites the map file from the content mapper and takes its
// map; refusals leave the client's map and the file as they were, and a
// failed write is reported, not swallowed.
TEST(LifecycleMapFile, RepopulateContentMapperPaths) {
    const std::map<std::string, std::string> old = {{"/old/", "/old/"}};
    const std::string oldRecords = "m:/old/:/old/:\n";
    const std::vector<RepopulateRow> rows = {
        {"rewrites the file", NewMapper(kPaths), "-", 0, "", kPaths, true, kRecords, ""},
        {"empty content mapper empties the file", NewMapper(), "-", 0, "", {}, true, "", ""},
        {"no content mapper: nothing changes", ContentMapperAPIPtr(), "-", 0, "", old, false,
         oldRecords, "Given content mapper is not initialized!"},
        {"content mapper of another class", ContentMapperAPIPtr(new OtherMapper()), "-", 160,
         "Dynamic cast failed for ContentMapper", old, true, oldRecords, ""},
        {"no file set", NewMapper(kPaths), "", 1627, "SnapMapInfo file not set", {}, true,
         oldRecords, ""},
        {"disk full", NewMapper(kPaths), "/dev/full", 1627, "Failed to write [/dev/full] file",
         kPaths, true, oldRecords,
         "Could not write the content mapper paths to the snapshot map file [/dev/full]. Error["},
    };
    for (const RepopulateRow& row : rows) {
        SCOPED_TRACE(row.name);
        Env env;
        env.Install();
        WriteFile(env.MapFile(), oldRecords);
        RecordingLogWriter log;
        auto client = env.Client(2, 1);
        client->m_mapContentMapperPaths = old;
        if (row.file != "-") client->m_strSnapMapInfoFile = row.file;
        ContentMapperAPIPtr mapper = row.mapper;
        CRyError err = client->RepopulateContentMapperPaths(mapper);
        EXPECT_EQ(err.Win32Code(), row.code) << err.AsString();
        if (row.code) {
            EXPECT_EQ(err.Message(), row.message);
        }
        if (row.code == 1627 && !row.file.empty()) {
            EXPECT_EQ(err.Frames().size(), 2u);
        }
        EXPECT_EQ(client->m_mapContentMapperPaths, row.pathsAfter);
        EXPECT_EQ(client->m_bAutoMountClient, row.autoMountAfter);
        EXPECT_EQ(ReadFile(env.MapFile()), row.fileAfter);
        if (!row.logged.empty()) {
            EXPECT_EQ(log.CountContaining(row.logged), 1u) << log.Dump();
        }
    }
}

struct ReadRow {
    const char* name;
    std::string contents;
    std::vector<std::string> paths;     // handed to the cleanup, in order
    std::vector<std::string> rejected;  // lines logged as malformed
};

// The reader as the post-backup cleanup runs it on an auto-mount client with
// no auto-mount map: every path handed on is logged once as unresolved.
TEST(LifecycleMapFile, ReadingLines) {
    const std::string longPath = "/mnt/" + std::string(70000, 'x') + "/";
    const std::vector<ReadRow> rows = {
        {"plain records", "m:/a/:/a/.snapshot/s:\nm:/b/:/b/:\n", {"/a/", "/b/"}, {}},
        {"carriage returns", "m:/a/:/a/:\r\nm:/b/:/b/:\r\n", {"/a/", "/b/"}, {}},
        {"blank lines are silent", "\r\n\nm:/a/:/a/:\n\r\r\n", {"/a/"}, {}},
        {"line without a colon", "garbage\nm:/a/:/a/:\n", {"/a/"}, {"garbage"}},
        {"other record kinds and short records", "x:/a/\n:/b/:\nm:\n", {"/a/", "/b/", ""}, {}},
        {"no final line feed", "m:/a/:/a/:", {"/a/"}, {}},
        {"a long line is one record", "m:" + longPath + ":" + longPath + ":\nm:/b/:/b/:\n",
         {longPath, "/b/"}, {}},
        {"empty file", "", {}, {}},
    };
    for (const ReadRow& row : rows) {
        SCOPED_TRACE(row.name);
        Env env;
        env.Install();
        WriteFile(env.MapFile(), row.contents);
        RecordingLogWriter log;
        auto client = env.Client(2, 1);
        ASSERT_FALSE(client->CleanupSnapshotsPostBackup(true).IsError());
        std::vector<std::string> handed, rejected, expectedHanded, expectedRejected;
        for (const auto& line : log.Lines()) {
            if (line.message.find("Couldn't get export path [") == 0) handed.push_back(line.message);
            if (line.message.find("Incorrect or unknown line format [") == 0)
                rejected.push_back(std::to_string(line.level) + " " + line.message);
        }
        for (const std::string& path : row.paths)
            expectedHanded.push_back("Couldn't get export path [" + path + "], for snapshot cleanup");
        for (const std::string& line : row.rejected)
            expectedRejected.push_back("0 Incorrect or unknown line format [" + line + "] in file [" +
                                       env.MapFile() + "]. Ignoring it.");
        EXPECT_EQ(handed, expectedHanded);
        EXPECT_EQ(rejected, expectedRejected);
        EXPECT_FALSE(client->m_pManageOntap);  // read to the end: connection released
    }
}

// A map file that is gone keeps the connection for the agent's retry; a
// folder in its place opens but cannot be read.
TEST(LifecycleMapFile, UnreadableMapFile) {
    for (bool folder : {false, true}) {
        SCOPED_TRACE(folder ? "a folder in its place" : "missing file");
        Env env;
        env.Install();
        if (folder) MakeDirs(env.MapFile());
        RecordingLogWriter log;
        auto client = env.Client(2, 1);
        ASSERT_FALSE(client->CleanupSnapshotsPostBackup(false).IsError());
        EXPECT_TRUE(folder ? log.Has(-1, "Failed to read the file [" + env.MapFile() +
                                             "] to clean up snapshots, later records are not "
                                             "processed.")
                           : log.Has(0, "Failed to open the file [" + env.MapFile() +
                                            "] to clean up snapshots."))
            << log.Dump();
        if (!folder) {
            EXPECT_TRUE(client->m_pManageOntap);
        }
    }
}

}  // namespace
