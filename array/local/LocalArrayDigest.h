// A 64-bit digest of bytes fed in pieces, for the local array to tell two
// versions of a file (or of a directory's list of names) apart when every
// attribute it keeps is the same: a file rewritten with bytes of the same
// length within one tick of the file system's clock. It guards against
// accidents, not against someone who crafts collisions on purpose, and is
// chosen for speed, so that digesting a large tree while it is copied costs
// little beside the copy itself (the XXH64 algorithm, seed 0).
#pragma once

#include <cstddef>
#include <cstdint>

class ContentDigest {
public:
    void Update(const void* data, size_t size);
    uint64_t Value() const;

private:
    uint64_t m_lanes[4] = {0x9E3779B185EBCA87ull + 0xC2B2AE3D27D4EB4Full, 0xC2B2AE3D27D4EB4Full, 0,
                           0 - 0x9E3779B185EBCA87ull};
    unsigned char m_pending[32];
    size_t m_pendingSize = 0;
    uint64_t m_ullTotal = 0;
};

// Digest of one piece of bytes.
uint64_t DigestOf(const void* data, size_t size);
