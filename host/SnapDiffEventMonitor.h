// Change event store of one compared volume: at most one ChangeEventItem per
// inode, kept in a SQLite database file inside the job results folder, read
// back by path prefix. Each share's events are kept in blocks of their own,
// so reading a share reads its own events only; an inode that moves between
// shares moves between blocks. The file name is built from the three
// constructor strings by a one-to-one escaping, so no name steers it outside
// the folder and two stores never share a file (a name longer than NAME_MAX
// becomes a readable prefix plus the SHA-256 of the escaped name). The file
// is its owner's alone and never written through a link. Inserts are batched
// in transactions; preparing a read commits them. After a write to the file
// fails, every later operation fails too and the file is removed: the store
// keeps no journal, so a failed write may have left part of its rows behind,
// and the space is better left to the next store. Memory stays bounded
// whatever the volume: at most 64 unwritten events per share (fewer for
// many shares), 65,536 unwritten entries of the inode map, a dictionary of
// at most 8,192 directory names, and the inode filter of hostlib/eventstore. Not thread-safe; one
// store per thread. docs/change-database.md describes the file.
#pragma once

#include "host/CRyError.h"
#include "records/SnapRecords.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

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
    // The backup paths, each followed by "/", of the shares whose events the
    // store will take; called after Create() and before the first event. An
    // event goes to the share of the longest prefix that begins its path,
    // else to a share of its own for the rest. Without this call every event
    // goes to that one share; the events read back are the same either way.
    CRyError SetSharePrefixes(const std::vector<std::string>& prefixes);
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
    // Starts a read of the events whose path begins with prefix, followed by
    // the events whose old path begins with prefix while their path does not.
    // A share is read so: an inode that left it for another share still
    // tells it that the old name is gone.
    CRyError PrepareSelectQueryForShare(const std::string& prefix);
    // 1: exhausted; -1: failure or no read prepared; 0: event holds the next one.
    int GetNextEvent(ChangeEventItem& event);

    const std::string& FilePath() const { return m_strFilePath; }

    // Test hook: called with the operation's name ("Create", "CreateFile" (after
    // the earlier file is removed), "SetSharePrefixes", "InsertEvent",
    // "GetEventOfInode", "UpdateExistingEventOfInode", "Prepare", "GetNextEvent",
    // "Commit") before it runs; an error result makes the operation fail with it.
    // Each store keeps the hook set when it is created (Create()); a later
    // call reaches only the stores created after it.
    typedef std::function<CRyError(const char* operation)> FaultHook;
    static void SetFaultHook(FaultHook hook);

private:
    struct Impl;
    std::unique_ptr<Impl> m_pImpl;
    std::string m_strFilePath;
};
