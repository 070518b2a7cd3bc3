// Where each written event of a change event store lies: inode to block
// number. A repeated report of an inode whose block is written finds the
// block here, then the event in it, whatever share holds it.
//
// The map is kept in table inodes by groups of kGroupInodes inode numbers,
// a row per group: the entries (the inode's place in its group, its
// block) of the group's inodes in rising order, each counted from the entry
// before (EncodeGroup). A SnapDiff run reports inodes in rising order and a
// block holds neighbouring ones, so an entry mostly takes one byte and a
// group is mostly written once. New entries wait in memory (at most
// kPendingEntries, found through one hash table) and are written when
// that many wait and when the store commits; a group written before is
// read, merged and written again. Memory stays within about 4 MiB
// whatever the volume. A later entry of an inode replaces its earlier one.
#pragma once

#include "hostlib/eventstore/Sql.h"
#include "hostlib/eventstore/WaitingIndex.h"

#include <cstdint>
#include <string>
#include <vector>

namespace eventstore {

class InodeMap {
public:
    static constexpr int64_t kGroupInodes = 1024;
    static constexpr size_t kPendingEntries = 65536;

    Status Prepare(sqlite3* db);
    // Notes that the inode's event lies in block; writes the waiting entries
    // once there are kPendingEntries, in the store's open transaction.
    Status Put(int64_t inode, int64_t block);
    // The inode's block, 0 when the map holds no entry of it (a damaged
    // row is corrupt).
    Status Find(int64_t inode, int64_t& block);
    // Writes every waiting entry.
    Status Flush();
    bool Pending() const { return !m_order.empty(); }

    // A group row's entries (place, block), for the store and its tests:
    // EncodeGroup writes entries sorted by place; DecodeGroup refuses bytes
    // that are no such row.
    struct Entry {
        uint32_t place;
        int64_t block;
    };
    static void EncodeGroup(const std::vector<Entry>& entries, std::string& out);
    static bool DecodeGroup(std::string_view bytes, std::vector<Entry>& entries);

private:
    Status ReadGroup(int64_t group, std::vector<Entry>& entries);
    Status WriteGroup(int64_t group, std::vector<Entry>& entries);

    Statement m_read, m_write;
    WaitingIndex m_pending;        // inode: block
    std::vector<int64_t> m_order;  // the pending inodes as they came
    std::vector<int64_t> m_scratch;
    std::vector<Entry> m_entries;
    std::string m_bytes;
};

}  // namespace eventstore
