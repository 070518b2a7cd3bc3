#include "hostlib/eventstore/EventStoreBlock.h"

#include "hostlib/eventstore/EventStoreRow.h"
#include "hostlib/eventstore/EventStoreVarint.h"

namespace eventstore {

namespace {

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

// The parts of a body that follow its path.
struct BodyRest {
    uint64_t code = 0;
    std::string_view text, oldPath;
};

bool GetRest(const unsigned char*& at, const unsigned char* end, BodyRest& rest) {
    uint64_t header = 0;
    if (!GetVarint(at, end, header)) return false;
    rest.code = header & 3;
    if (rest.code == kTextFollows && !GetPiece(at, end, rest.text)) return false;
    const uint64_t oldLength = header >> 2;
    if (oldLength > static_cast<uint64_t>(end - at)) return false;
    rest.oldPath = std::string_view(reinterpret_cast<const char*>(at), oldLength);
    at += oldLength;
    return true;
}

bool DecodePath(std::string_view encoded, const PathDictionary& names, std::string& path) {
    return names.Decode(Bytes(encoded), encoded.size(), path);
}

}  // namespace

void EncodeEventBody(size_t prefixLength, const ChangeEventItem& event, PathDictionary& names,
                     std::string& out) {
    // The pieces are written first and their length put before them: a
    // path's pieces are a few dozen bytes, cheaper to move than to encode twice.
    size_t at = out.size();
    names.Encode(std::string_view(event.strPath).substr(prefixLength), out);
    std::string lead;
    AppendVarint(lead, out.size() - at);
    out.insert(at, lead);
    at = out.size();
    names.Encode(event.strOldPath, out);
    const int code = ChangeCodeOf(event.strChangeType);
    lead.clear();
    AppendVarint(lead, (uint64_t(out.size() - at) << 2) | (code < 0 ? kTextFollows : code));
    if (code < 0) {
        AppendVarint(lead, event.strChangeType.size());
        lead += event.strChangeType;
    }
    out.insert(at, lead);
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

bool BlockEvents::Next() {
    const unsigned char* const begin = Bytes(m_block);
    const unsigned char* const end = begin + m_block.size();
    const unsigned char* at = begin + m_at;
    if (m_damaged || at == end) return false;
    uint64_t delta = 0;
    std::string_view path;
    BodyRest rest;
    if (!GetVarint(at, end, delta)) return !(m_damaged = true);
    const unsigned char* const body = at;
    if (!GetPiece(at, end, path) || !GetRest(at, end, rest) || !SkipDetails(at, end))
        return !(m_damaged = true);
    m_inode = static_cast<int64_t>(static_cast<uint64_t>(m_inode) +
                                   static_cast<uint64_t>(Unzigzag(delta)));
    m_body = std::string_view(reinterpret_cast<const char*>(body), static_cast<size_t>(at - body));
    m_at = static_cast<size_t>(at - begin);
    return true;
}

bool DecodeBodyPath(std::string_view body, const std::string& prefix, const PathDictionary& names,
                    std::string& path) {
    const unsigned char* at = Bytes(body);
    std::string_view pieces;
    path.assign(prefix);
    return GetPiece(at, at + body.size(), pieces) && DecodePath(pieces, names, path);
}

bool DecodeEventBody(std::string_view body, int64_t inode, const std::string& prefix,
                     const PathDictionary& names, ChangeEventItem& event) {
    const unsigned char* at = Bytes(body);
    const unsigned char* const end = at + body.size();
    std::string_view pieces;
    BodyRest rest;
    event.llInode = inode;
    event.strPath.assign(prefix);
    event.strOldPath.clear();
    if (!GetPiece(at, end, pieces) || !DecodePath(pieces, names, event.strPath) ||
        !GetRest(at, end, rest) || !DecodePath(rest.oldPath, names, event.strOldPath) ||
        !ReadDetails(at, end, event) || at != end)
        return false;
    if (rest.code == kTextFollows) {
        event.strChangeType.assign(rest.text.data(), rest.text.size());
    } else {
        event.strChangeType = ChangeTextOf(static_cast<int>(rest.code));
    }
    return true;
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
