// Where each waiting row of a change event store sits, by inode: a repeated
// report of an inode finds its unwritten row with one probe instead of a
// look at every table's waiting rows. Open addressing with linear probing
// and backward-shift removal, so that the inserts and removals of every
// change allocate nothing; sized for at most Reserve(rows) entries at once
// (the store's bound on waiting rows): 16 bytes a slot, 2 slots per row.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace eventstore {

class WaitingIndex {
public:
    static constexpr uint32_t kAbsent = UINT32_MAX;

    // Room for rows entries; forgets every entry.
    void Reserve(size_t rows);
    void Put(int64_t inode, uint32_t slot);
    uint32_t Find(int64_t inode) const;
    void Remove(int64_t inode);

private:
    struct Entry {
        int64_t inode;
        uint32_t slot;  // kAbsent: empty
    };
    size_t Home(int64_t inode) const;

    std::vector<Entry> m_entries;
    size_t m_mask = 0;
};

}  // namespace eventstore
