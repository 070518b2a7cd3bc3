// Compact memory of the inodes a change event store has been given, so that
// the store can tell most new inodes apart without asking SQLite.
//
// MayContain() never answers false for an inode that was added; it may
// answer true for one that was not. Inode numbers below 2^26 (the range an
// array volume of tens of millions of files uses) are kept exactly in a
// bitmap allocated 8 KiB at a time; others go to a 2 MiB Bloom filter
// allocated on first use. At most 10 MiB in all, whatever the inodes. When
// memory runs out the filter gives up and answers true for every inode, so
// the store falls back to asking SQLite and stays exact.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

class EventStoreInodeFilter {
public:
    EventStoreInodeFilter();
    bool MayContain(int64_t inode) const;
    void Add(int64_t inode);
    void Clear();

private:
    void Saturate();

    std::vector<std::unique_ptr<uint64_t[]>> m_bitmapChunks;
    std::unique_ptr<uint64_t[]> m_bloomWords;
    bool m_bSaturated;
};
