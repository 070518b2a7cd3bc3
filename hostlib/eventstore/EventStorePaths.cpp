#include "hostlib/eventstore/EventStorePaths.h"

#include "hostlib/eventstore/EventStoreVarint.h"

#include <cstring>

namespace eventstore {

bool PathDictionary::Add(std::string_view name) {
    if (name.empty() || name.size() > kMaxNameLength || memchr(name.data(), '/', name.size()) ||
        m_names.size() >= kMaxNames || m_bytes + name.size() > kMaxNameBytes || m_ids.count(name))
        return false;
    m_names.emplace_back(name);
    m_ids.emplace(std::string_view(m_names.back()), static_cast<uint32_t>(m_names.size() - 1));
    m_bytes += name.size();
    return true;
}

void PathDictionary::Clear() {
    m_ids.clear();
    m_names.clear();
    m_bytes = 0;
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
            const auto known = m_ids.find(piece);
            const bool numbered = known != m_ids.end();
            const uint64_t id = numbered ? known->second : m_names.size();
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
    const unsigned char* at = bytes;
    const unsigned char* end = bytes + size;
    while (at < end) {
        uint64_t value = 0;
        if (!GetVarint(at, end, value)) return false;
        if (value & 1) {
            if ((value >> 1) >= m_names.size()) return false;
            path += m_names[value >> 1];
        } else {
            const uint64_t length = value >> 2;
            if (length > static_cast<uint64_t>(end - at)) return false;
            path.append(reinterpret_cast<const char*>(at), length);
            at += length;
            if (!(value & 2)) continue;
        }
        path += '/';
    }
    return true;
}

}  // namespace eventstore
