// One open change database of the store: the handle with the statements
// every share uses, the shares, the inode map, the moved index and the
// dictionary of directory names. The handle is declared first so that it
// closes after every statement is finalized. The connection serves one
// thread, so SQLite does not lock it.
#pragma once

#include "hostlib/eventstore/InodeMap.h"
#include "hostlib/eventstore/MovedIndex.h"
#include "hostlib/eventstore/PathDictionary.h"
#include "hostlib/eventstore/Shares.h"
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

    // Opens the store's new, empty file at path and lays out the schema
    // with share 0. CREATE TABLE (not IF NOT EXISTS) also refuses a
    // database that somebody put in place of the empty file. A handle that
    // could not be made at all (no memory) leaves db empty.
    Status Open(const std::string& path);
    // Adds a share for each prefix, in one transaction.
    Status AddShares(const std::vector<std::string>& prefixes);
    // Writes the names numbered since the last call, in the open
    // transaction, before the blocks that use them.
    Status WriteNewNames();
    // Adds a block of the share's events (new names first) and gives its
    // number.
    Status AddBlock(size_t share, const std::string& events, int64_t& id);
    // The written block that holds the inode's event; block.id 0 when no
    // written block holds one. Corrupt when the map names a block that is
    // not there.
    Status FindBlock(int64_t inode, StoredBlock& block);
    // The inode's event in its block; false when the block does not hold
    // it or is damaged.
    bool EventIn(const StoredBlock& block, int64_t inode, ChangeEventItem& event) const;
    // Writes the block's new events (new names first).
    Status RewriteBlock(int64_t id, const std::string& events);
    Status Execute(const char* sql);
};

}  // namespace eventstore
