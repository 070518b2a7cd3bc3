// A local array in a temporary folder, with helpers to shape the live tree
// of its volumes and to read a whole SnapDiff run.
#pragma once

#include "array/local/LocalArray.h"
#include "array/local/LocalArrayCatalog.h"
#include "tests/support/TestSupport.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace localarraytest {

class LocalArrayWorld {
public:
    explicit LocalArrayWorld(bool cluster = true,
                             const std::vector<LocalArrayExport>& exports = {}) {
        char resolved[PATH_MAX];
        if (!realpath(m_dir.Path().c_str(), resolved)) throw std::runtime_error("realpath");
        config.strRoot = resolved;
        config.strArrayName = "filer1";
        config.bCluster = cluster;
        config.vecExports = exports;
        Rebuild();
    }
    // Applies a changed config (a new back end, as a new job would get).
    void Rebuild() { array.reset(new LocalArray(config)); }

    std::string Root() const { return config.strRoot; }
    std::string Live(const std::string& volume, const std::string& rel = std::string()) const {
        return config.strRoot + "/" + volume + (rel.empty() ? "" : "/" + rel);
    }
    void Volume(const std::string& volume) const { MakeDir(Live(volume)); }
    void Dir(const std::string& volume, const std::string& rel) const {
        MakeDir(Live(volume, rel));
    }
    void File(const std::string& volume, const std::string& rel,
              const std::string& contents) const {
        testsupport::WriteFile(Live(volume, rel), contents);
    }
    std::string Read(const std::string& path) const { return testsupport::ReadFile(path); }

    void Snap(const std::string& volume, const std::string& name) {
        ArrayStatus status = array->CreateSnapshot(volume, name);
        ASSERT_TRUE(status.bOk) << status.strMessage;
    }

    // Names of the snapshots the array lists on volume v.
    std::set<std::string> Listed() const {
        std::vector<SnapShotInfo_t> list;
        EXPECT_TRUE(array->ListSnapshots("v", "", list).bOk);
        std::set<std::string> names;
        for (const SnapShotInfo_t& snapshot : list) names.insert(snapshot.strName);
        return names;
    }

    // Starts a SnapDiff session, which names files escaped and never sends
    // an empty batch before the last.
    ArrayStatus Start(const std::string& volume, const std::string& base,
                      const std::string& incremental, std::string& handle,
                      unsigned long maxItems = 256) {
        bool escaped = false, emptyAllowed = true;
        ArrayStatus status = array->SnapDiffStart(volume, base, incremental, maxItems, "nfs",
                                                  handle, escaped, emptyAllowed);
        EXPECT_TRUE(!status.bOk || (escaped && !emptyAllowed));
        return status;
    }

    // Runs SnapDiff to the end; batch sizes and end flags are kept for checks.
    struct Run {
        std::vector<SnapDiffFileInfo> changes;
        std::vector<size_t> batchSizes;
        std::vector<bool> endFlags;
    };
    Run Diff(const std::string& volume, const std::string& base, const std::string& incremental,
             unsigned long maxItems = 4096) {
        Run run;
        std::string handle;
        ArrayStatus status = Start(volume, base, incremental, handle, maxItems);
        EXPECT_TRUE(status.bOk) << status.strMessage;
        for (bool end = false; status.bOk && !end;) {
            std::vector<SnapDiffFileInfo> batch;
            status = array->SnapDiffNext(handle, batch, end);
            EXPECT_TRUE(status.bOk) << status.strMessage;
            run.batchSizes.push_back(batch.size());
            run.endFlags.push_back(end);
            run.changes.insert(run.changes.end(), batch.begin(), batch.end());
        }
        return run;
    }

    // Every row of the catalog of volume v's snapshot is in its copy, and
    // nothing else is: the snapshot is whole. The root's row is the copy's
    // own folder.
    void ExpectCopyMatchesCatalog(const std::string& snapshot) const {
        CatalogReader reader;
        ASSERT_TRUE(reader.Open(Root() + "/.snapcatalog/v/" + snapshot + ".cat").ok());
        CatalogRow row;
        size_t rows = 0;
        for (bool done = false; reader.Next(row, done).ok() && !done; ++rows) {
            struct stat st;
            ASSERT_EQ(0, lstat(Live("v", ".snapshot/" + snapshot + "/" + row.strPath).c_str(), &st))
                << row.strPath;
            EXPECT_EQ(row.ullSize, row.uiFileType == 1 ? uint64_t(st.st_size) : 0u) << row.strPath;
        }
        const std::filesystem::recursive_directory_iterator copy(
            Live("v", ".snapshot/" + snapshot));
        EXPECT_EQ(rows, 1 + size_t(std::distance(begin(copy), end(copy)))) << snapshot;
    }

    LocalArrayConfig config;
    std::unique_ptr<LocalArray> array;

private:
    static void MakeDir(const std::string& path) {
        if (mkdir(path.c_str(), 0755) != 0) throw std::runtime_error("mkdir " + path);
    }
    testsupport::TempDir m_dir;
};

// The names in a folder; none when it is missing.
inline std::set<std::string> Names(const std::string& dir) {
    std::set<std::string> names;
    std::error_code missing;
    for (const auto& entry : std::filesystem::directory_iterator(dir, missing))
        names.insert(entry.path().filename());
    return names;
}

inline LocalArrayExport Export(const std::string& volume, const std::vector<std::string>& below) {
    LocalArrayExport exp;
    exp.strVolume = volume;
    exp.vecBelow = below;
    return exp;
}

}  // namespace localarraytest
