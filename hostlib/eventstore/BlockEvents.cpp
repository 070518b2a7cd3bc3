#include "hostlib/eventstore/BlockEvents.h"

#include "hostlib/eventstore/EventDetails.h"
#include "hostlib/eventstore/Varint.h"

namespace eventstore {

namespace {

// The low bits of the first varint: the change code, or more follows; of
// the second: the change code, or its text follows.
const uint64_t kMoreFollows = 3;
const uint64_t kTextFollows = 3;

const unsigned char* Bytes(std::string_view text) {
    return reinterpret_cast<const unsigned char*>(text.data());
}

// Reads a varint length and moves at past that many bytes, which must be there.
bool GetPiece(const unsigned char*& at, const unsigned char* end, std::string_view& piece) {
    uint64_t length = 0;
    if (!GetVarint(at, end, length) || length > static_cast<uint64_t>(end - at)) return false;
    piece = std::string_view(reinterpret_cast<const char*>(at), static_cast<size_t>(length));
    at += length;
    return true;
}

// Reads the parts of a body up to its details.
bool GetParts(const unsigned char*& at, const unsigned char* end, BlockEvents::Parts& parts) {
    uint64_t lead = 0;
    if (!GetVarint(at, end, lead) || (lead >> 2) > static_cast<uint64_t>(end - at)) return false;
    parts.path = std::string_view(reinterpret_cast<const char*>(at), lead >> 2);
    at += lead >> 2;
    parts.code = lead & 3;
    parts.text = parts.oldPath = std::string_view();
    if (parts.code != kMoreFollows) return true;
    uint64_t header = 0;
    if (!GetVarint(at, end, header)) return false;
    parts.code = header & 3;
    if (parts.code == kTextFollows && !GetPiece(at, end, parts.text)) return false;
    const uint64_t oldLength = header >> 2;
    if (oldLength > static_cast<uint64_t>(end - at)) return false;
    parts.oldPath = std::string_view(reinterpret_cast<const char*>(at), oldLength);
    at += oldLength;
    return true;
}

bool DecodePath(std::string_view encoded, const PathDictionary& names, std::string& path) {
    return names.Decode(Bytes(encoded), encoded.size(), path);
}

// Puts the varint value at at, where one byte was kept for it: most
// lengths fit there, the others move the bytes after them.
void PutLength(std::string& out, size_t at, uint64_t value) {
    if (value < 0x80) {
        out[at] = static_cast<char>(value);
        return;
    }
    std::string bytes;
    AppendVarint(bytes, value);
    out.replace(at, 1, bytes);
}

}  // namespace

void EncodeEventBody(size_t prefixLength, const ChangeEventItem& event, PathDictionary& names,
                     std::string& out) {
    const int code = ChangeCodeOf(event.strChangeType);
    // Most events have no old path and one of the three texts: their code
    // rides in the path's length, and nothing more follows.
    const bool more = code < 0 || !event.strOldPath.empty();
    size_t at = out.size();
    out.push_back(0);
    names.Encode(std::string_view(event.strPath).substr(prefixLength), out);
    PutLength(out, at, (uint64_t(out.size() - at - 1) << 2) | (more ? kMoreFollows : code));
    if (more) {
        at = out.size();
        out.push_back(0);
        if (code < 0) {
            AppendVarint(out, event.strChangeType.size());
            out += event.strChangeType;
        }
        const size_t oldAt = out.size();
        names.Encode(event.strOldPath, out);
        PutLength(out, at, (uint64_t(out.size() - oldAt) << 2) | (code < 0 ? kTextFollows : code));
    }
    unsigned char details[kMaxPackedDetails];
    out.append(reinterpret_cast<const char*>(details), PackDetails(event, details));
}

void AppendBlockEvent(std::string& block, int64_t& previous, int64_t inode, std::string_view body) {
    // Wrapping difference: any two inodes round-trip, however far apart.
    AppendVarint(block, Zigzag(static_cast<int64_t>(static_cast<uint64_t>(inode) -
                                                    static_cast<uint64_t>(previous))));
    block.append(body.data(), body.size());
    previous = inode;
}

// The event of parts whose details are in event already.
bool FillEvent(const BlockEvents::Parts& parts, int64_t inode, const std::string& prefix,
               const PathDictionary& names, ChangeEventItem& event) {
    event.llInode = inode;
    event.strPath.assign(prefix);
    event.strOldPath.clear();
    if (!DecodePath(parts.path, names, event.strPath) ||
        !DecodePath(parts.oldPath, names, event.strOldPath))
        return false;
    if (parts.code == kTextFollows) {
        event.strChangeType.assign(parts.text.data(), parts.text.size());
    } else {
        event.strChangeType = ChangeTextOf(static_cast<int>(parts.code));
    }
    return true;
}

bool BlockEvents::Next(ChangeEventItem* details) {
    const unsigned char* const begin = Bytes(m_block);
    const unsigned char* const end = begin + m_block.size();
    const unsigned char* at = begin + m_at;
    if (m_damaged || at == end) return false;
    uint64_t delta = 0;
    if (!GetVarint(at, end, delta)) return !(m_damaged = true);
    const unsigned char* const body = at;
    if (!GetParts(at, end, m_parts) ||
        !(details ? ReadDetails(at, end, *details) : SkipDetails(at, end)))
        return !(m_damaged = true);
    m_inode = static_cast<int64_t>(static_cast<uint64_t>(m_inode) +
                                   static_cast<uint64_t>(Unzigzag(delta)));
    m_body = std::string_view(reinterpret_cast<const char*>(body), static_cast<size_t>(at - body));
    m_at = static_cast<size_t>(at - begin);
    return true;
}

bool BlockEvents::ReadPath(const std::string& prefix, const PathDictionary& names,
                           std::string& path) const {
    path.assign(prefix);
    return DecodePath(m_parts.path, names, path);
}

bool BlockEvents::Read(const std::string& prefix, const PathDictionary& names,
                       ChangeEventItem& event) const {
    return FillEvent(m_parts, m_inode, prefix, names, event);
}

bool DecodeEventBody(std::string_view body, int64_t inode, const std::string& prefix,
                     const PathDictionary& names, ChangeEventItem& event) {
    const unsigned char* at = Bytes(body);
    const unsigned char* const end = at + body.size();
    BlockEvents::Parts parts;
    return GetParts(at, end, parts) && ReadDetails(at, end, event) && at == end &&
           FillEvent(parts, inode, prefix, names, event);
}

bool EditBlock(std::string& block, int64_t inode, const std::string* body) {
    // Blocks are small: the block is written anew, so that the inode of the
    // event after a removed one is counted from the event before it.
    std::string edited;
    int64_t previous = 0;
    bool found = false;
    BlockEvents events(block);
    while (events.Next()) {
        if (events.Inode() != inode) {
            AppendBlockEvent(edited, previous, events.Inode(), events.Body());
            continue;
        }
        if (found) return false;  // twice in one block: damaged
        found = true;
        if (body) AppendBlockEvent(edited, previous, inode, *body);
    }
    if (events.Damaged() || !found) return false;
    block.swap(edited);
    return true;
}

}  // namespace eventstore
