#include "hostlib/eventstore/Layout.h"

namespace eventstore {

const char* OlderLayout(int version) {
    switch (version) {
        case 1:
            return "layout 1 (one events table, times as columns)";
        case 2:
            return "layout 2 (a table per share, paths written out)";
        case 3:
            return "layout 3 (flags and file type packed apart)";
        case 4:
            return "layout 4 (a table per share, one event a row)";
        default:
            return nullptr;
    }
}

// The store is scratch data of one job, rebuilt by the next comparison if
// the job runs again: it needs neither rollback nor durability, and its
// cache and temporary storage must keep the proxy's memory bounded. Blocks
// are added at the end of blocks whatever their share and the inode groups
// mostly in rising order, so the writes touch the right edge of each tree
// and reads stream; a page cache beyond 8 MiB buys no speed, only resident
// memory. A block of a few dozen events takes one to two KiB, so 16 KiB
// pages leave little of a page unused where the next block does not fit.
std::string CreateSchemaSql() {
    return "PRAGMA page_size=16384;"
           "PRAGMA journal_mode=OFF;"
           "PRAGMA synchronous=OFF;"
           "PRAGMA temp_store=FILE;"
           "PRAGMA cache_size=-8192;"
           "CREATE TABLE shares(id INTEGER PRIMARY KEY, prefix BLOB NOT NULL);"
           "CREATE TABLE names(id INTEGER PRIMARY KEY, name BLOB NOT NULL);"
           "CREATE TABLE blocks(id INTEGER PRIMARY KEY, share INTEGER NOT NULL,"
           " events BLOB NOT NULL);"
           "CREATE INDEX blocks_of_share ON blocks(share, id);"
           "CREATE TABLE inodes(grp INTEGER PRIMARY KEY, entries BLOB NOT NULL);"
           "CREATE TABLE moved(inode INTEGER PRIMARY KEY, share INTEGER NOT NULL);"
           "PRAGMA user_version=" +
           std::to_string(kLayoutVersion) + ";";
}

const char kNoteShare[] = "INSERT INTO shares VALUES (?1, ?2)";
const char kReadShares[] = "SELECT id, prefix FROM shares ORDER BY id";
const char kNoteName[] = "INSERT INTO names VALUES (?1, ?2)";
const char kReadNames[] = "SELECT id, name FROM names ORDER BY id";
const char kNoteMoved[] = "INSERT OR REPLACE INTO moved VALUES (?1, ?2)";
const char kForgetMoved[] = "DELETE FROM moved WHERE inode = ?1";
const char kReadMoved[] = "SELECT inode, share FROM moved";
const char kAddBlock[] = "INSERT INTO blocks(share, events) VALUES (?1, ?2)";
const char kReadBlock[] = "SELECT share, events FROM blocks WHERE id = ?1";
const char kRewriteBlock[] = "UPDATE blocks SET events = ?2 WHERE id = ?1";
const char kReadShareBlocks[] = "SELECT events FROM blocks WHERE share = ?1 ORDER BY id";
const char kReadAllBlocks[] = "SELECT share, events FROM blocks ORDER BY share, id";
const char kReadInodeGroup[] = "SELECT entries FROM inodes WHERE grp = ?1";
const char kWriteInodeGroup[] = "INSERT OR REPLACE INTO inodes VALUES (?1, ?2)";

}  // namespace eventstore
