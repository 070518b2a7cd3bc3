// One open change database of the store: the handle with the statements
// every share uses, the shares, the inode map, the moved index and the
// dictionary of directory names. The handle is declared first so that it
// closes after every statement is finalized. The connection serves one
// thread, so SQLite does not lock it.
#pragma once

#include "hostlib/eventstore/EventStoreFailure.h"
#include "hostlib/eventstore/EventStoreInodeMap.h"
#include "hostlib/eventstore/EventStoreMoved.h"
#include "hostlib/eventstore/EventStorePaths.h"
#include "hostlib/eventstore/EventStoreShares.h"
#include "records/SnapRecords.h"

#include <string>
#include <vector>

namespace eventstore {

// A written block: its number, share and events.
struct StoredBlock {
    int64_t id = 0;
    size_t share = 0;
    std::string events;
};

struct Connection {
    Database db;
    Statement noteShare, noteName, addBlock, readBlock, rewriteBlock, shareBlocks;
    Shares shares;
    InodeMap inodes;
    MovedIndex moved;
    PathDictionary names;
    size_t namesWritten = 0;

    // Opens the store's new, empty file and lays out the schema with share
    // 0. CREATE TABLE (not IF NOT EXISTS) also refuses a database that
    // somebody put in place of the empty file.
    CRyError Open(const StoreFailure& store);
    // Adds a share for each prefix, in one transaction.
    CRyError AddShares(const StoreFailure& store, const std::vector<std::string>& prefixes,
                       const char* operation);
    // Writes the names numbered since the last call, in the open
    // transaction, before the blocks that use them; SQLITE_DONE or the code.
    int WriteNewNames();
    // Adds a block of the share's events (new names first) and gives its
    // number; SQLITE_DONE or the failing code.
    int AddBlock(size_t share, const std::string& events, int64_t& id);
    // The written block that holds the inode's event: SQLITE_ROW;
    // SQLITE_DONE when no written block holds one; SQLITE_CORRUPT when the
    // map names a block that is not there; else the failing code.
    int FindBlock(int64_t inode, StoredBlock& block);
    // The inode's event in its block; false when the block does not hold
    // it or is damaged.
    bool EventIn(const StoredBlock& block, int64_t inode, ChangeEventItem& event) const;
    // Writes the block's new events (new names first); SQLITE_DONE or the code.
    int RewriteBlock(int64_t id, const std::string& events);
    CRyError Execute(const StoreFailure& store, const FXCodeLocation& where, const char* operation,
                     const std::string& sql);
};

}  // namespace eventstore
