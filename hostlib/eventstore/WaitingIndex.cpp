#include "hostlib/eventstore/WaitingIndex.h"

namespace eventstore {

void WaitingIndex::Reserve(size_t rows) {
    size_t size = 16;
    while (size < rows * 2) size <<= 1;
    m_entries.assign(size, Entry{0, kAbsent});
    m_mask = size - 1;
}

size_t WaitingIndex::Home(int64_t inode) const {
    // Inodes come in runs; the multiply spreads a run over the table.
    return static_cast<size_t>((static_cast<uint64_t>(inode) * 0x9E3779B97F4A7C15ULL) >> 32) &
           m_mask;
}

void WaitingIndex::Put(int64_t inode, uint32_t slot) {
    size_t at = Home(inode);
    while (m_entries[at].slot != kAbsent && m_entries[at].inode != inode) at = (at + 1) & m_mask;
    m_entries[at] = Entry{inode, slot};
}

uint32_t WaitingIndex::Find(int64_t inode) const {
    if (m_entries.empty()) return kAbsent;
    for (size_t at = Home(inode);; at = (at + 1) & m_mask) {
        const Entry& entry = m_entries[at];
        if (entry.slot == kAbsent || entry.inode == inode) return entry.slot;
    }
}

void WaitingIndex::Remove(int64_t inode) {
    size_t at = Home(inode);
    while (m_entries[at].inode != inode || m_entries[at].slot == kAbsent) {
        if (m_entries[at].slot == kAbsent) return;
        at = (at + 1) & m_mask;
    }
    // Moves later entries of the run back, so that every entry stays
    // reachable from its home without tombstones.
    for (size_t next = (at + 1) & m_mask;; next = (next + 1) & m_mask) {
        if (m_entries[next].slot == kAbsent) break;
        const size_t home = Home(m_entries[next].inode);
        // The entry may move to at when at lies between its home and next.
        if (((next - home) & m_mask) >= ((next - at) & m_mask)) {
            m_entries[at] = m_entries[next];
            at = next;
        }
    }
    m_entries[at].slot = kAbsent;
}

}  // namespace eventstore
