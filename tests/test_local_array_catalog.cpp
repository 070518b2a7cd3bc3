// Snapshot catalogs on disk: sorting beyond the memory budget, and files
// that are damaged or are not catalogs at all.

#include "array/LocalArrayCatalog.h"
#include "tests/support/TestSupport.h"

#include <algorithm>
#include <dirent.h>
#include <gtest/gtest.h>
#include <random>

namespace {

CatalogRow Row(uint64_t inode, const std::string& path) {
    CatalogRow row;
    row.ullInode = inode;
    row.ullParentInode = inode / 7;
    row.uiFileType = inode % 3 == 0 ? 2 : (inode % 3 == 1 ? 1 : 5);
    row.uiMode = 0644;
    row.ullSize = inode * 11;
    row.llAtime = -1;
    row.llCtime = static_cast<int64_t>(inode) << 33;
    row.llMtime = 1700000000;
    row.strPath = path;
    return row;
}

ArrayStatus ReadAll(const std::string& path, std::vector<CatalogRow>& rows) {
    rows.clear();
    CatalogReader reader;
    ArrayStatus status = reader.Open(path);
    for (bool done = false; status.bOk;) {
        CatalogRow row;
        status = reader.Next(row, done);
        if (!status.bOk || done) break;
        rows.push_back(row);
    }
    return status;
}

auto Fields(const CatalogRow& r) {
    return std::tie(r.ullInode, r.ullParentInode, r.uiFileType, r.uiMode, r.ullSize, r.llAtime,
                    r.llCtime, r.llMtime, r.strPath);
}

size_t FilesIn(const std::string& dir) {
    size_t count = 0;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) count += e->d_name[0] != '.';
        closedir(d);
    }
    return count;
}

TEST(LocalArrayCatalogTest, SortsWithinAndBeyondTheMemoryBudget) {
    std::mt19937 random(7);
    std::vector<CatalogRow> rows;
    for (int i = 0; i < 5000; ++i) {
        // Several names for some inodes, as hard links give.
        uint64_t inode = random() % 3000 + 2;
        rows.push_back(Row(inode, "dir" + std::to_string(i % 17) + "/name\n" + std::to_string(i)));
    }
    std::vector<CatalogRow> expected = rows;
    std::sort(expected.begin(), expected.end(), CatalogRowLess);

    struct Case {
        size_t budget;
        bool spills;
    };
    for (const Case& c : {Case{size_t(64) << 20, false}, Case{16 * 1024, true}}) {
        SCOPED_TRACE(c.budget);
        testsupport::TempDir dir;
        const std::string path = dir / "s.cat";
        {
            CatalogWriter writer(path, c.budget);
            for (const CatalogRow& row : rows) ASSERT_TRUE(writer.Add(row).bOk);
            ASSERT_TRUE(writer.Finish().bOk);
            EXPECT_EQ(c.spills, writer.SpilledRuns() > 1);
        }
        EXPECT_EQ(1u, FilesIn(dir.Path()));  // the runs are gone
        std::vector<CatalogRow> read;
        ArrayStatus status = ReadAll(path, read);
        ASSERT_TRUE(status.bOk) << status.strMessage;
        ASSERT_EQ(expected.size(), read.size());
        for (size_t i = 0; i < read.size(); ++i) ASSERT_EQ(Fields(expected[i]), Fields(read[i])) << i;
    }
    // A writer dropped before Finish leaves neither its runs nor a catalog.
    testsupport::TempDir dir;
    {
        CatalogWriter writer(dir / "s.cat", 1024);
        for (size_t i = 0; i < 100; ++i) ASSERT_TRUE(writer.Add(rows[i]).bOk);
        EXPECT_GT(writer.SpilledRuns(), 0u);
    }
    EXPECT_EQ(0u, FilesIn(dir.Path()));
}

TEST(LocalArrayCatalogTest, RefusesDamagedFiles) {
    testsupport::TempDir dir;
    const std::string good = dir / "good.cat";
    {
        CatalogWriter writer(good, 1 << 20);
        ASSERT_TRUE(writer.Add(Row(5, "a")).bOk);
        ASSERT_TRUE(writer.Add(Row(9, "b")).bOk);
        ASSERT_TRUE(writer.Finish().bOk);
    }
    const std::string bytes = testsupport::ReadFile(good);
    const size_t rowSize = (bytes.size() - 8 - 9) / 2;  // two rows of one-byte paths
    ASSERT_EQ(8 + 2 * rowSize + 9, bytes.size());
    const size_t row1 = 8, row2 = 8 + rowSize, end = 8 + 2 * rowSize;
    auto withByte = [&](size_t at, char value) {
        std::string changed = bytes;
        changed[at] = value;
        return changed;
    };
    // Row 2 written before row 1: inode 9 then inode 5.
    const std::string swapped =
        bytes.substr(0, 8) + bytes.substr(row2, rowSize) + bytes.substr(row1, rowSize) + bytes.substr(end);
    struct Case {
        std::string name;
        std::string contents;
        std::string why;
    };
    const std::vector<Case> cases = {
        {"empty", "", "not a catalog"},
        {"other file", "#!/bin/sh\necho hello\n", "not a catalog"},
        {"magic only", bytes.substr(0, 8), "truncated"},
        {"cut inside a row", bytes.substr(0, row2 + 10), "truncated"},
        {"no end mark", bytes.substr(0, end), "truncated"},
        {"cut inside the end mark", bytes.substr(0, end + 4), "truncated"},
        {"unknown record", withByte(row2, 'X'), "unknown record"},
        {"unknown file type", withByte(row1 + 1 + 16, 9), "unknown file type"},
        {"huge path length", withByte(row1 + 1 + 8 + 8 + 1 + 4 + 8 * 4 + 3, '\x7F'), "path length"},
        {"wrong row count", withByte(end + 1, 3), "row count"},
        {"data after the end", bytes + "x", "after the end"},
        {"rows out of order", swapped, "out of order"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir / "bad.cat";
        testsupport::WriteFile(path, c.contents);
        std::vector<CatalogRow> read;
        ArrayStatus status = ReadAll(path, read);
        EXPECT_FALSE(status.bOk);
        EXPECT_EQ(kArrayErrInternal, status.uiCode);
        EXPECT_NE(std::string::npos, status.strMessage.find(c.why)) << status.strMessage;
    }
    std::vector<CatalogRow> read;
    EXPECT_EQ(kArrayErrNotFound, ReadAll(dir / "missing.cat", read).uiCode);
    ASSERT_TRUE(ReadAll(good, read).bOk);
    EXPECT_EQ(2u, read.size());
}

}  // namespace
