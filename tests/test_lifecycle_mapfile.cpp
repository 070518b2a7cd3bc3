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
        ASSERT_TRUE(mapper);
        auto concrete = boost::dynamic_pointer_cast<CContentMapper>(mapper);
        ASSERT_TRUE(concrete);
        EXPECT_EQ(concrete->GetPathMap(), kPaths);
        std::vector<std::string> lines;
        for (const auto& line : log.Lines())
            if (line.message.find("Content mapper path: ") == 0) lines.push_back(line.message);
        EXPECT_EQ(lines, (std::vector<std::string>{
                             "Content mapper path: /mnt/a/ : /mnt/a/",
                             "Content mapper path: /mnt/b/ : /mnt/b/.snapshot/" + Snap(2)}));
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
        SCOPED_TRACE("failing file: the error comes back with our location");
        Env env;
        env.Install();
        auto client = env.Client(2, 1);
        for (const std::string& file : {std::string(), std::string("/dev/full")}) {
            client->m_strSnapMapInfoFile = file;
            client->m_mapContentMapperPaths = kPaths;
            ContentMapperAPIPtr mapper = NewMapper();
            CRyError err = client->UpdateContentMapperPaths(mapper);
            EXPECT_EQ(err.Win32Code(), 1627u) << file;
            EXPECT_EQ(err.Frames().size(), 2u);
            // The content mapper was told before the file failed.
            EXPECT_EQ(boost::dynamic_pointer_cast<CContentMapper>(mapper)->GetPathMap(), kPaths);
        }
    }
}

TEST(LifecycleMapFile, RepopulateContentMapperPaths) {
    {
        SCOPED_TRACE("rewrites the file from the content mapper");
        Env env;
        env.Install();
        auto client = env.Client(2, 1);
        client->m_mapContentMapperPaths = {{"/old/", "/old/"}};
        ContentMapperAPIPtr none;
        ASSERT_FALSE(client->UpdateContentMapperPaths(none).IsError());
        ContentMapperAPIPtr mapper = NewMapper(kPaths);
        ASSERT_FALSE(client->RepopulateContentMapperPaths(mapper).IsError());
        EXPECT_EQ(ReadFile(env.MapFile()), kRecords);
        EXPECT_EQ(client->m_mapContentMapperPaths, kPaths);
        EXPECT_TRUE(client->m_bAutoMountClient);

        ContentMapperAPIPtr empty = NewMapper();
        ASSERT_FALSE(client->RepopulateContentMapperPaths(empty).IsError());
        EXPECT_TRUE(testsupport::FileExists(env.MapFile()));
        EXPECT_EQ(ReadFile(env.MapFile()), "");
    }
    {
        SCOPED_TRACE("no content mapper: nothing changes");
        Env env;
        env.Install();
        RecordingLogWriter log;
        auto client = env.Client(2, 1);
        client->m_mapContentMapperPaths = kPaths;
        ContentMapperAPIPtr none;
        ASSERT_FALSE(client->RepopulateContentMapperPaths(none).IsError());
        EXPECT_TRUE(log.Has(0, "Given content mapper is not initialized!"));
        EXPECT_FALSE(client->m_bAutoMountClient);
        EXPECT_EQ(client->m_mapContentMapperPaths, kPaths);
        EXPECT_FALSE(testsupport::FileExists(env.MapFile()));
    }
    {
        SCOPED_TRACE("content mapper of another class");
        Env env;
        env.Install();
        auto client = env.Client(2, 1);
        client->m_mapContentMapperPaths = kPaths;
        ContentMapperAPIPtr other(new OtherMapper());
        CRyError err = client->RepopulateContentMapperPaths(other);
        EXPECT_EQ(err.Win32Code(), 160u);
        EXPECT_EQ(err.Message(), "Dynamic cast failed for ContentMapper");
        EXPECT_TRUE(client->m_bAutoMountClient);
        EXPECT_EQ(client->m_mapContentMapperPaths, kPaths);
    }
    {
        SCOPED_TRACE("no file set");
        Env env;
        env.Install();
        auto client = env.Client(2, 1);
        client->m_strSnapMapInfoFile.clear();
        client->m_mapContentMapperPaths = kPaths;
        ContentMapperAPIPtr mapper = NewMapper(kPaths);
        CRyError err = client->RepopulateContentMapperPaths(mapper);
        EXPECT_EQ(err.Win32Code(), 1627u);
        EXPECT_EQ(err.Message(), "SnapMapInfo file not set");
        EXPECT_TRUE(client->m_mapContentMapperPaths.empty());
    }
    {
        SCOPED_TRACE("a failed write is reported, not swallowed");
        Env env;
        env.Install();
        RecordingLogWriter log;
        auto client = env.Client(2, 1);
        client->m_strSnapMapInfoFile = "/dev/full";
        ContentMapperAPIPtr mapper = NewMapper(kPaths);
        CRyError err = client->RepopulateContentMapperPaths(mapper);
        EXPECT_EQ(err.Win32Code(), 1627u);
        EXPECT_EQ(err.Message(), "Failed to write [/dev/full] file");
        EXPECT_EQ(err.Frames().size(), 2u);
        EXPECT_EQ(log.CountContaining("Could not write the content mapper paths to the snapshot "
                                      "map file [/dev/full]. Error["),
                  1u);
        EXPECT_EQ(client->m_mapContentMapperPaths, kPaths);
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
        std::vector<std::string> handed;
        std::vector<std::string> rejected;
        const std::string unresolved = "Couldn't get export path [";
        const std::string malformed = "Incorrect or unknown line format [";
        for (const auto& line : log.Lines()) {
            const std::string& m = line.message;
            if (m.compare(0, unresolved.size(), unresolved) == 0)
                handed.push_back(m.substr(unresolved.size(),
                                          m.size() - unresolved.size() -
                                              std::string("], for snapshot cleanup").size()));
            if (m.compare(0, malformed.size(), malformed) == 0) {
                EXPECT_EQ(line.level, 0);
                const std::string tail = "] in file [" + env.MapFile() + "]. Ignoring it.";
                ASSERT_GT(m.size(), malformed.size() + tail.size());
                EXPECT_EQ(m.substr(m.size() - tail.size()), tail);
                rejected.push_back(m.substr(malformed.size(), m.size() - malformed.size() - tail.size()));
            }
        }
        EXPECT_EQ(handed, row.paths);
        EXPECT_EQ(rejected, row.rejected);
        EXPECT_FALSE(client->m_pManageOntap);  // read to the end: connection released
    }
}

TEST(LifecycleMapFile, UnreadableMapFile) {
    {
        SCOPED_TRACE("missing file");
        Env env;
        env.Install();
        RecordingLogWriter log;
        auto client = env.Client(2, 1);
        ASSERT_FALSE(client->CleanupSnapshotsPostBackup(false).IsError());
        EXPECT_TRUE(log.Has(0, "Failed to open the file [" + env.MapFile() +
                                   "] to clean up snapshots."));
        EXPECT_TRUE(client->m_pManageOntap);
    }
    {
        SCOPED_TRACE("a folder in its place opens but cannot be read");
        Env env;
        env.Install();
        MakeDirs(env.MapFile());
        RecordingLogWriter log;
        auto client = env.Client(2, 1);
        ASSERT_FALSE(client->CleanupSnapshotsPostBackup(false).IsError());
        EXPECT_TRUE(log.Has(-1, "Failed to read the file [" + env.MapFile() +
                                    "] to clean up snapshots, later records are not "
                                    "processed."))
            << log.Dump();
    }
}

}  // namespace
