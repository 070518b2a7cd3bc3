#include "array/local/LocalArrayDigest.h"

#include <cstring>

namespace {

const uint64_t kPrime1 = 0x9E3779B185EBCA87ull;
const uint64_t kPrime2 = 0xC2B2AE3D27D4EB4Full;
const uint64_t kPrime3 = 0x165667B19E3779F9ull;
const uint64_t kPrime4 = 0x85EBCA77C2B2AE63ull;
const uint64_t kPrime5 = 0x27D4EB2F165667C5ull;

uint64_t Rotate(uint64_t v, int bits) { return (v << bits) | (v >> (64 - bits)); }

// Bytes are read little-endian whatever the machine, so that a catalog's
// digests mean the same on every host that reads it.
uint64_t Load64(const unsigned char* p) {
    uint64_t v;
    memcpy(&v, p, sizeof(v));
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    v = __builtin_bswap64(v);
#endif
    return v;
}
// Only for the last few bytes, where speed does not matter.
uint64_t Load32(const unsigned char* p) {
    return uint64_t(p[0]) | uint64_t(p[1]) << 8 | uint64_t(p[2]) << 16 | uint64_t(p[3]) << 24;
}

uint64_t Round(uint64_t lane, uint64_t input) {
    return Rotate(lane + input * kPrime2, 31) * kPrime1;
}

uint64_t Merge(uint64_t hash, uint64_t lane) { return (hash ^ Round(0, lane)) * kPrime1 + kPrime4; }

}  // namespace

void ContentDigest::Update(const void* data, size_t size) {
    const unsigned char* p = static_cast<const unsigned char*>(data);
    m_ullTotal += size;
    if (m_pendingSize + size < sizeof(m_pending)) {
        if (size) memcpy(m_pending + m_pendingSize, p, size);
        m_pendingSize += size;
        return;
    }
    if (m_pendingSize) {
        size_t fill = sizeof(m_pending) - m_pendingSize;
        memcpy(m_pending + m_pendingSize, p, fill);
        for (int i = 0; i < 4; ++i) m_lanes[i] = Round(m_lanes[i], Load64(m_pending + 8 * i));
        p += fill;
        size -= fill;
        m_pendingSize = 0;
    }
    // The lanes live in locals here: stores through the byte pointer could
    // otherwise alias them and hold the loop to one lane at a time.
    uint64_t v0 = m_lanes[0], v1 = m_lanes[1], v2 = m_lanes[2], v3 = m_lanes[3];
    for (; size >= 32; p += 32, size -= 32) {
        v0 = Round(v0, Load64(p));
        v1 = Round(v1, Load64(p + 8));
        v2 = Round(v2, Load64(p + 16));
        v3 = Round(v3, Load64(p + 24));
    }
    m_lanes[0] = v0, m_lanes[1] = v1, m_lanes[2] = v2, m_lanes[3] = v3;
    if (size) memcpy(m_pending, p, size);
    m_pendingSize = size;
}

uint64_t ContentDigest::Value() const {
    uint64_t hash;
    if (m_ullTotal >= 32) {
        hash = Rotate(m_lanes[0], 1) + Rotate(m_lanes[1], 7) + Rotate(m_lanes[2], 12) +
               Rotate(m_lanes[3], 18);
        for (int i = 0; i < 4; ++i) hash = Merge(hash, m_lanes[i]);
    } else {
        hash = kPrime5;
    }
    hash += m_ullTotal;
    const unsigned char* p = m_pending;
    size_t left = m_pendingSize;
    for (; left >= 8; p += 8, left -= 8)
        hash = Rotate(hash ^ Round(0, Load64(p)), 27) * kPrime1 + kPrime4;
    if (left >= 4) {
        hash = Rotate(hash ^ (Load32(p) * kPrime1), 23) * kPrime2 + kPrime3;
        p += 4, left -= 4;
    }
    for (; left > 0; ++p, --left) hash = Rotate(hash ^ (*p * kPrime5), 11) * kPrime1;
    hash ^= hash >> 33;
    hash *= kPrime2;
    hash ^= hash >> 29;
    hash *= kPrime3;
    hash ^= hash >> 32;
    return hash;
}

uint64_t DigestOf(const void* data, size_t size) {
    ContentDigest digest;
    digest.Update(data, size);
    return digest.Value();
}
