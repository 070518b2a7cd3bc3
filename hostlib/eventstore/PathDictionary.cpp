#include "hostlib/eventstore/PathDictionary.h"

#include "hostlib/eventstore/Varint.h"

#include <cstring>

namespace eventstore {

namespace {

const int kSlotBits = 14;
const size_t kSlots = size_t(1) << kSlotBits;
static_assert(kSlots == 2 * PathDictionary::kMaxNames, "two slots a name");

// Names are short: their first and last eight bytes (a byte at a time
// below eight) decide the hash. The high half is folded down before the
// multiply, whose top bits then depend on every byte.
size_t HashOf(std::string_view name) {
    uint64_t head = 0, tail = 0;
    if (name.size() >= 8) {
        memcpy(&head, name.data(), 8);
        memcpy(&tail, name.data() + name.size() - 8, 8);
    } else {
        for (unsigned char byte : name) head = (head << 8) | byte;
    }
    uint64_t hash = head * 0x9E3779B97F4A7C15ULL ^ tail ^ name.size();
    hash ^= hash >> 32;
    return static_cast<size_t>((hash * 0xFF51AFD7ED558CCDULL) >> (64 - kSlotBits));
}

}  // namespace

size_t PathDictionary::Find(std::string_view name) const {
    if (m_slots.empty()) return m_names.size();
    for (size_t at = HashOf(name);; at = (at + 1) & (kSlots - 1)) {
        const uint32_t slot = m_slots[at];
        if (!slot) return m_names.size();
        const std::string& known = m_names[slot - 1];  // with its "/"
        if (known.size() == name.size() + 1 && memcmp(known.data(), name.data(), name.size()) == 0)
            return slot - 1;
    }
}

bool PathDictionary::Add(std::string_view name) {
    if (name.empty() || name.size() > kMaxNameLength || memchr(name.data(), '/', name.size()) ||
        m_names.size() >= kMaxNames || m_bytes + name.size() > kMaxNameBytes ||
        Find(name) != m_names.size())
        return false;
    if (m_slots.empty()) m_slots.assign(kSlots, 0);
    size_t at = HashOf(name);
    while (m_slots[at]) at = (at + 1) & (kSlots - 1);
    m_names.emplace_back(name);
    m_names.back() += '/';
    m_slots[at] = static_cast<uint32_t>(m_names.size());
    m_bytes += name.size();
    return true;
}

void PathDictionary::Encode(std::string_view path, std::string& out) {
    size_t start = 0;
    while (start < path.size()) {
        const void* found = memchr(path.data() + start, '/', path.size() - start);
        const size_t end = found
                               ? static_cast<size_t>(static_cast<const char*>(found) - path.data())
                               : path.size();
        const std::string_view piece = path.substr(start, end - start);
        const bool slash = end < path.size();
        // A directory name: a "/" and more of the path after it.
        if (slash && end + 1 < path.size()) {
            const uint64_t id = Find(piece);
            const bool numbered = id < m_names.size();
            if (numbered || Add(piece)) {
                AppendVarint(out, (id << 1) | 1);
                start = end + 1;
                continue;
            }
        }
        AppendVarint(out, (uint64_t(piece.size()) << 2) | (slash ? 2 : 0));
        out.append(piece.data(), piece.size());
        start = end + (slash ? 1 : 0);
    }
}

bool PathDictionary::Decode(const unsigned char* bytes, size_t size, std::string& path) const {
    // The pieces gather here and go to path in few appends: a path is a few
    // short pieces, and an append a piece cost more than the decoding.
    char gathered[512];
    size_t used = 0;
    auto put = [&](const char* data, size_t length) {
        if (used + length > sizeof gathered) {
            path.append(gathered, used);
            used = 0;
            if (length > sizeof gathered) return static_cast<void>(path.append(data, length));
        }
        memcpy(gathered + used, data, length);
        used += length;
    };
    const unsigned char* at = bytes;
    const unsigned char* end = bytes + size;
    while (at < end) {
        uint64_t value = 0;
        if (!GetVarint(at, end, value)) return false;
        if (value & 1) {
            if ((value >> 1) >= m_names.size()) return false;
            const std::string& name = m_names[value >> 1];
            put(name.data(), name.size());
            continue;
        }
        const uint64_t length = value >> 2;
        if (length > static_cast<uint64_t>(end - at)) return false;
        put(reinterpret_cast<const char*>(at), length);
        at += length;
        if (value & 2) put("/", 1);
    }
    if (used) path.append(gathered, used);
    return true;
}

}  // namespace eventstore
