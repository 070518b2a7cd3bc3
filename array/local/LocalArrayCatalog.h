// The catalog of a local-array snapshot: one row per name (link) of every
// regular file, directory and symbolic link in the volume at creation time,
// sorted by inode and then path.
//
// Format: a compact binary file, chosen over SQLite because SnapDiff only
// ever reads two catalogs front to back in inode order: with both sorted by
// inode, a comparison is a streaming merge whose memory does not grow with
// the volume, and the file is a fraction of an indexed database's size.
// Layout, all integers little-endian:
//   "LACATLG2"                                     8-byte magic
//   'L' reason:u8 pathlen:u32 path                 an item left out, repeated,
//                                                  before the first row
//   'R' inode:u64 parent:u64 type:u8 mode:u32 size:u64
//       atime:i64 ctime:i64 mtime:i64 pathlen:u32 path
//       atime_ns:u32 ctime_ns:u32 mtime_ns:u32 links:u64 owner:u32 group:u32
//       has_digest:u8 digest:u64                   one row, repeated
//   'E' rows:u64                                   end mark with the row count
// A file without its end mark (a crash while writing) or with rows out of
// order is refused as corrupt, never half-read. Catalogs of the first
// format ("LACATLG1": no row tail) are still read, their rows with zero
// nanoseconds, links, owner and group and no digest: two of them compare
// as they always did, and one against a newer catalog reports every inode
// as modified, so a snapshot taken before an upgrade never hides a change.
// Agents built before 'L' records existed refuse such a file as corrupt,
// which sends the share to a full scan rather than hiding a change.
//
// CatalogWriter takes rows in any order and sorts them within a memory
// budget: past it, sorted runs are spilled beside the output and merged at
// the end. Neither class is thread-safe.
#pragma once

#include "array/ArrayBackend.h"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

struct CatalogRow {
    uint64_t ullInode = 0;
    uint64_t ullParentInode = 0;  // inode of the directory that holds this name
    uint32_t uiFileType = 0;      // 1 regular, 2 directory, 5 symbolic link
    uint32_t uiMode = 0;          // permission bits
    uint64_t ullSize = 0;
    int64_t llAtime = 0;  // seconds
    int64_t llCtime = 0;
    int64_t llMtime = 0;
    uint32_t uiAtimeNs = 0;  // nanoseconds within the second
    uint32_t uiCtimeNs = 0;
    uint32_t uiMtimeNs = 0;
    uint64_t ullLinks = 0;
    uint32_t uiOwner = 0;
    uint32_t uiGroup = 0;
    // A regular file's contents as copied into the snapshot, or a
    // directory's names and their inodes; absent for files of a snapshot
    // that is not materialised.
    bool bHasDigest = false;
    uint64_t ullDigest = 0;
    std::string strPath;  // relative to the volume root, no leading "/"
};

bool CatalogRowLess(const CatalogRow& a, const CatalogRow& b);

// An item of the live volume that the snapshot could not keep, with all it
// holds; the snapshot cannot tell how it changed.
struct CatalogLeftOut {
    enum Reason : uint8_t {
        kPathTooLong = 1,       // a folder chain too deep for the path calls
        kInSnapshotFolder = 2,  // the volume's, in an export's .snapshot
    };
    Reason reason = kPathTooLong;
    std::string strPath;  // relative to the volume root
};
// Why the item is left out and what the operator can do, for the log.
const char* LeftOutReasonText(CatalogLeftOut::Reason reason);

// Reads a catalog front to back.
class CatalogReader {
public:
    CatalogReader() = default;
    ~CatalogReader();
    CatalogReader(const CatalogReader&) = delete;
    CatalogReader& operator=(const CatalogReader&) = delete;

    ArrayStatus Open(const std::string& path);
    // The items the snapshot left out, known once Open succeeded.
    const std::vector<CatalogLeftOut>& LeftOut() const { return m_leftOut; }
    // Next row; done is set (and row untouched) after the last one.
    ArrayStatus Next(CatalogRow& row, bool& done);

private:
    ArrayStatus Corrupt(const std::string& why) const;
    ArrayStatus ReadLeftOut();

    std::string m_path;
    std::vector<CatalogLeftOut> m_leftOut;
    FILE* m_file = nullptr;
    uint64_t m_ullRows = 0;
    bool m_bHaveLast = false;
    uint64_t m_ullLastInode = 0;
    bool m_bDone = false;
    bool m_bFirstFormat = false;
};

// Writes one sorted catalog at a path; on Finish the file is complete and
// flushed to disk. Destroyed unfinished, it removes what it wrote.
class CatalogWriter {
public:
    CatalogWriter(const std::string& path, size_t memoryBudgetBytes);
    ~CatalogWriter();
    CatalogWriter(const CatalogWriter&) = delete;
    CatalogWriter& operator=(const CatalogWriter&) = delete;

    ArrayStatus Add(CatalogRow row);
    // Records an item the snapshot could not keep; any time before Finish.
    void LeaveOut(CatalogLeftOut item) { m_leftOut.push_back(std::move(item)); }
    ArrayStatus Finish();
    // Number of sorted runs spilled so far (for tests of the spill path).
    size_t SpilledRuns() const { return m_runPaths.size(); }

private:
    ArrayStatus Spill();
    ArrayStatus MergeRuns();
    void RemoveFiles();

    std::string m_path;
    size_t m_memoryBudget;
    std::vector<CatalogRow> m_pending;
    size_t m_pendingBytes = 0;
    std::vector<std::string> m_runPaths;
    std::vector<CatalogLeftOut> m_leftOut;
    bool m_bFinished = false;
};
