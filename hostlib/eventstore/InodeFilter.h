// Compact memory of the inodes a change event store has been given, so that
// the store can tell most new inodes apart without asking SQLite.
//
// MayContain() never answers false for an inode that was added; it may
// answer true for one that was not. Inode numbers below 2^28 (the range an
// array volume of a hundred million files and more uses) are kept exactly in
// a bitmap allocated 8 KiB at a time; others go to a 2 MiB Bloom filter
// allocated on first use. At most 34 MiB in all, whatever the inodes, and
// 2 MiB per 2^24 inode numbers used. A Bloom filter holding tens of millions
// of inodes answers true for nearly every one, which would cost each insert
// a query per share table; hence the wide exact range. When
// memory runs out the filter gives up and answers true for every inode, so
// the store falls back to asking SQLite and stays exact.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace eventstore {

class InodeFilter {
public:
    InodeFilter();
    bool MayContain(int64_t inode) const;
    void Add(int64_t inode);
    void Clear();

private:
    void Saturate();

    std::vector<std::unique_ptr<uint64_t[]>> m_bitmapChunks;
    std::unique_ptr<uint64_t[]> m_bloomWords;
    bool m_bSaturated;
};

}  // namespace eventstore
