#include "hostlib/eventstore/InodeFilter.h"

#include <new>

namespace eventstore {

namespace {
const int kBitmapBits = 28;
const int kChunkBits = 16;
const uint64_t kWordsPerChunk = (uint64_t(1) << kChunkBits) / 64;
const uint64_t kChunkCount = uint64_t(1) << (kBitmapBits - kChunkBits);
const uint64_t kBloomWords = (uint64_t(1) << 24) / 64;
const int kBloomBitsPerKey = 4;

bool InBitmapRange(int64_t inode) {
    return inode >= 0 && static_cast<uint64_t>(inode) < (uint64_t(1) << kBitmapBits);
}

// A strong 64-bit mix (the finaliser of MurmurHash3) so that inodes
// allocated in runs spread over the Bloom filter.
uint64_t Mix(uint64_t x) {
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdULL;
    x ^= x >> 33;
    x *= 0xc4ceb9fe1a85ec53ULL;
    x ^= x >> 33;
    return x;
}

// One word per key keeps a probe to one cache line; the key's bits inside
// the word come from the upper hash bits, six at a time.
uint64_t BloomMask(uint64_t hash) {
    uint64_t mask = 0;
    for (int i = 0; i < kBloomBitsPerKey; ++i) mask |= uint64_t(1) << ((hash >> (40 + 6 * i)) & 63);
    return mask;
}
}  // namespace

InodeFilter::InodeFilter() : m_bitmapChunks(kChunkCount), m_bSaturated(false) {}

bool InodeFilter::MayContain(int64_t inode) const {
    if (m_bSaturated) return true;
    if (InBitmapRange(inode)) {
        uint64_t bit = static_cast<uint64_t>(inode);
        const std::unique_ptr<uint64_t[]>& chunk = m_bitmapChunks[bit >> kChunkBits];
        if (!chunk) return false;
        uint64_t inChunk = bit & ((uint64_t(1) << kChunkBits) - 1);
        return (chunk[inChunk / 64] >> (inChunk % 64)) & 1;
    }
    if (!m_bloomWords) return false;
    uint64_t hash = Mix(static_cast<uint64_t>(inode));
    uint64_t mask = BloomMask(hash);
    return (m_bloomWords[hash % kBloomWords] & mask) == mask;
}

void InodeFilter::Add(int64_t inode) {
    if (m_bSaturated) return;
    if (InBitmapRange(inode)) {
        uint64_t bit = static_cast<uint64_t>(inode);
        std::unique_ptr<uint64_t[]>& chunk = m_bitmapChunks[bit >> kChunkBits];
        if (!chunk) chunk.reset(new (std::nothrow) uint64_t[kWordsPerChunk]());
        if (!chunk) {
            Saturate();
            return;
        }
        uint64_t inChunk = bit & ((uint64_t(1) << kChunkBits) - 1);
        chunk[inChunk / 64] |= uint64_t(1) << (inChunk % 64);
        return;
    }
    if (!m_bloomWords) m_bloomWords.reset(new (std::nothrow) uint64_t[kBloomWords]());
    if (!m_bloomWords) {
        Saturate();
        return;
    }
    uint64_t hash = Mix(static_cast<uint64_t>(inode));
    m_bloomWords[hash % kBloomWords] |= BloomMask(hash);
}

void InodeFilter::Clear() {
    for (std::unique_ptr<uint64_t[]>& chunk : m_bitmapChunks) chunk.reset();
    m_bloomWords.reset();
    m_bSaturated = false;
}

void InodeFilter::Saturate() {
    Clear();
    m_bSaturated = true;
}

}  // namespace eventstore
