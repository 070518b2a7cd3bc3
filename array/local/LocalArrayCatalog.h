// The catalog of a local-array snapshot: one row per name (link) of every
// item in the volume at creation time (regular files, directories, symbolic
// links, FIFOs, device nodes and sockets) and one row for the volume root
// itself (empty path), sorted by inode, device, generation and then path.
//
// Format: a compact binary file, chosen over SQLite because SnapDiff only
// ever reads two catalogs front to back in inode order: with both sorted by
// inode, a comparison is a streaming merge whose memory does not grow with
// the volume, and the file is a fraction of an indexed database's size.
// Layout, all integers little-endian:
//   "LACATLG3"                                     8-byte magic
//   'L' reason:u8 pathlen:u32 path                 an item left out, repeated,
//                                                  before the first row
//   'R' inode:u64 parent:u64 type:u8 mode:u32 size:u64
//       atime:i64 ctime:i64 mtime:i64 pathlen:u32 path
//       atime_ns:u32 ctime_ns:u32 mtime_ns:u32 links:u64 owner:u32 group:u32
//       has_digest:u8 digest:u64
//       device:u64 generation:u64 parent_generation:u64
//       has_attributes:u8 attributes:u64           one row, repeated
//   'E' rows:u64                                   end mark with the row count
// A file without its end mark (a crash while writing) or with rows out of
// order is refused as corrupt, never half-read. Catalogs of earlier formats
// are still read: "LACATLG2" rows lack the last line (device, generations
// and attribute digest are zero and absent), "LACATLG1" rows lack the last
// two as well (nanoseconds, links, owner and group zero, no digest), and
// neither has a root row. An inode is known by device, number and
// generation together, so every inode of an earlier catalog differs from
// every inode of a newer one: a comparison across an upgrade reports each
// file deleted and created again, which costs one large job but never hides
// a change. Agents built before a format refuse its files as corrupt, which
// sends the share to a full scan rather than hiding a change.
//
// CatalogWriter takes rows in any order and sorts them within a memory
// budget: past it, sorted runs are spilled beside the output and merged at
// the end. Neither class is thread-safe.
#pragma once

#include "array/ArrayBackend.h"
#include "hostlib/Status.h"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

struct CatalogRow {
    uint64_t ullInode = 0;
    uint64_t ullParentInode = 0;  // inode of the directory that holds this name
    uint32_t uiFileType = 0;      // SnapDiffFileType() of the item's mode
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
    // With the inode number, what tells this inode from an earlier one that
    // had the number (see LocalArrayTreeWalk.h); of the parent directory too.
    uint64_t ullDevice = 0;
    uint64_t ullGeneration = 0;
    uint64_t ullParentGeneration = 0;
    // The item's extended attributes and inode flags, so that a change of
    // only those is seen even where the clock did not move.
    bool bHasAttributes = false;
    uint64_t ullAttributes = 0;
    std::string strPath;  // relative to the volume root, no leading "/"; "" for the root
};

// Whether two rows are names of one inode (the catalog's grouping).
bool SameInode(const CatalogRow& a, const CatalogRow& b);
bool CatalogRowLess(const CatalogRow& a, const CatalogRow& b);

// An item of the live volume that the snapshot could not keep, with all it
// holds; the snapshot cannot tell how it changed.
struct CatalogLeftOut {
    enum Reason : uint8_t {
        kPathTooLong = 1,       // a folder chain too deep for the path calls
        kInSnapshotFolder = 2,  // the volume's, in an export's .snapshot
        kOtherFileSystem = 3,   // a mount or a nested subvolume below the volume
        kCannotCopy = 4,        // a device node the process may not make
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

    hostlib::Status Open(const std::string& path);
    // The items the snapshot left out, known once Open succeeded.
    const std::vector<CatalogLeftOut>& LeftOut() const { return m_leftOut; }
    // Next row; done is set (and row untouched) after the last one.
    hostlib::Status Next(CatalogRow& row, bool& done);

private:
    hostlib::Status Corrupt(const std::string& why) const;
    hostlib::Status ReadLeftOut();

    std::string m_path;
    std::vector<CatalogLeftOut> m_leftOut;
    FILE* m_file = nullptr;
    uint64_t m_ullRows = 0;
    bool m_bHaveLast = false;
    CatalogRow m_last;  // its key only
    bool m_bDone = false;
    int m_iFormat = 0;
};

// Writes one sorted catalog at a path; on Finish the file is complete and
// flushed to disk. Destroyed unfinished, it removes what it wrote.
class CatalogWriter {
public:
    CatalogWriter(const std::string& path, size_t memoryBudgetBytes);
    ~CatalogWriter();
    CatalogWriter(const CatalogWriter&) = delete;
    CatalogWriter& operator=(const CatalogWriter&) = delete;

    hostlib::Status Add(CatalogRow row);
    // Records an item the snapshot could not keep; any time before Finish.
    void LeaveOut(CatalogLeftOut item) { m_leftOut.push_back(std::move(item)); }
    hostlib::Status Finish();
    // Number of sorted runs spilled so far (for tests of the spill path).
    size_t SpilledRuns() const { return m_runPaths.size(); }

private:
    hostlib::Status Spill();
    hostlib::Status MergeRuns();
    void RemoveFiles();

    std::string m_path;
    size_t m_memoryBudget;
    std::vector<CatalogRow> m_pending;
    size_t m_pendingBytes = 0;
    std::vector<std::string> m_runPaths;
    std::vector<CatalogLeftOut> m_leftOut;
    bool m_bFinished = false;
};
