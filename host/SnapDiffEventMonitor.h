// Change event store of one compared volume: at most one ChangeEventItem per
// inode, read back by path prefix. Our host keeps it in a SQLite database
// file inside the job results folder, named from the three constructor
// strings by a one-to-one escaping, so no name steers it outside the folder
// and two stores never share a file; the file is its owner's alone and never
// written through a link. Inserts are batched in transactions; preparing a
// read commits them. After a write to the file fails, every later operation
// fails too and the file is removed: the store keeps no journal, so a failed
// write may have left part of its rows behind. Memory stays bounded whatever
// the volume. Not thread-safe; one store per thread. docs/change-database.md
// describes the file.
#pragma once

#include "host/CRyError.h"
#include "records/SnapRecords.h"

#include <memory>
#include <string>

namespace eventstore {
class ExtendedStore;
}

class CSnapDiffEventMonitor {
public:
    CSnapDiffEventMonitor(const std::string& jobResultsDir, const std::string& prevSnapName,
                          const std::string& currSnapAndVolume);
    ~CSnapDiffEventMonitor();
    CSnapDiffEventMonitor(const CSnapDiffEventMonitor&) = delete;
    CSnapDiffEventMonitor& operator=(const CSnapDiffEventMonitor&) = delete;

    // Starts a fresh, empty store: an existing file of that name is removed
    // (never emptied in place) and a new one created.
    CRyError Create();
    // exists false: stored. true: the inode is stored already; nothing written.
    CRyError InsertEvent(const ChangeEventItem& event, bool& exists);
    // The stored event of the inode into event. An inode the store does not
    // hold is an error ("no event of inode N") that leaves event undefined
    // and the store usable.
    CRyError GetEventOfInode(long long& inode, ChangeEventItem& event);
    // Replaces every field of the stored event of the event's inode; a new
    // path in another share moves it to that share's table. An inode the
    // store does not hold is an error that writes nothing and leaves the
    // store usable.
    CRyError UpdateExistingEventOfInode(const ChangeEventItem& event);
    // Commits pending inserts and starts a read of the events whose path
    // begins with prefix (exact bytes; no wildcard).
    CRyError PrepareSelectQueryWithPathPrefix(const std::string& prefix);
    // 1: exhausted; -1: failure or no read prepared; 0: event holds the next one.
    int GetNextEvent(ChangeEventItem& event);

    const std::string& FilePath() const { return m_strFilePath; }

private:
    // Our host's store offers operations beyond these (share tables, reads
    // by old path, a test's fault hook); they reach its state through this.
    friend class eventstore::ExtendedStore;
    struct Impl;
    std::unique_ptr<Impl> m_pImpl;
    std::string m_strFilePath;
};
