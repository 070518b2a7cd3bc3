// A 32-bit value by inode, for what the change event store holds in memory
// until it is written: where each waiting event sits, and the block of each
// inode whose map entry waits. A repeated report of an inode finds it with
// one probe. Open addressing with linear probing and backward-shift
// removal, so that the inserts and removals of every change allocate
// nothing; sized for at most Reserve(rows) entries at once (the store's
// bound on what waits): 16 bytes a slot, 2 slots per entry.
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
