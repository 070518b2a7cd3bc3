// The varints (LEB128) of the change database: seven bits a byte, low bits
// first, the top bit set on every byte but the last. Paths and row details
// are made of them.
#pragma once

#include <cstdint>
#include <string>

namespace eventstore {

// Hands the bytes of value to put, one at a time (ten at most).
template <typename Put>
inline void EmitVarint(uint64_t value, Put put) {
    while (value >= 0x80) {
        put(static_cast<unsigned char>(value | 0x80));
        value >>= 7;
    }
    put(static_cast<unsigned char>(value));
}

// Writes value at out and returns the end.
inline unsigned char* PutVarint(unsigned char* out, uint64_t value) {
    EmitVarint(value, [&out](unsigned char byte) { *out++ = byte; });
    return out;
}

inline void AppendVarint(std::string& out, uint64_t value) {
    EmitVarint(value, [&out](unsigned char byte) { out.push_back(static_cast<char>(byte)); });
}

// Zigzag: small negative values (-1 for an unknown time, an inode below the
// one before it) stay as short as small positive ones.
inline uint64_t Zigzag(int64_t value) {
    return (static_cast<uint64_t>(value) << 1) ^ static_cast<uint64_t>(value >> 63);
}
inline int64_t Unzigzag(uint64_t bits) {
    return static_cast<int64_t>(bits >> 1) ^ -static_cast<int64_t>(bits & 1);
}

// Reads one varint from at on and moves at past it; false when the bytes
// end inside it or it runs past 64 bits.
inline bool GetVarint(const unsigned char*& at, const unsigned char* end, uint64_t& value) {
    value = 0;
    for (int shift = 0; shift < 64 && at < end; shift += 7) {
        const unsigned char byte = *at++;
        value |= static_cast<uint64_t>(byte & 0x7F) << shift;
        if (!(byte & 0x80)) return true;
    }
    return false;
}

}  // namespace eventstore
