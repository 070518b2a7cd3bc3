// How a change database keeps a block of one share's events in one row
// (docs/change-database.md): the events one after the other, each
//
//   zigzag varint   its inode minus the inode of the event before it (of 0
//                   for the first), so that the rising inodes of a SnapDiff
//                   run take a byte or two;
//   varint          (length of the path's pieces << 2) | c, where c is the
//                   change code (0 to 2, EventDetails.h) of an event
//                   without an old path, else 3;
//   bytes           the path's pieces (PathDictionary.h), without its
//                   share's prefix;
//   when c is 3:
//     varint        (length of the old path's pieces << 2) | change code
//                   (3: a varint length and the change text itself follow);
//     bytes         the old path's pieces (the whole path, prefix and all);
//   details         the packed times, attribute, flags and file type.
//
// An event's body is all of it but the inode: it does not depend on the
// events around it, so the store encodes it once, as the event arrives,
// and joins the bodies into a block when the block is written. Any bytes
// given as a block are read or refused, never read past their end.
#pragma once

#include "hostlib/eventstore/PathDictionary.h"
#include "records/SnapRecords.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace eventstore {

// Appends the body of an event of a share whose prefix (of prefixLength
// bytes) begins its path. New directory names get numbers in names; the
// store writes them before the block that uses them.
void EncodeEventBody(size_t prefixLength, const ChangeEventItem& event, PathDictionary& names,
                     std::string& out);
// Appends an event to a block; previous is the inode of the block's last
// event (0 for an empty block) and becomes inode.
void AppendBlockEvent(std::string& block, int64_t& previous, int64_t inode, std::string_view body);

// The events of a block, one at a time.
class BlockEvents {
public:
    explicit BlockEvents(std::string_view block = std::string_view()) : m_block(block) {}
    // Moves to the next event; false at the end of the block or when the
    // bytes are damaged (Damaged() tells which). With details, the event's
    // times, attribute, flags and file type are read into it on the way.
    bool Next(ChangeEventItem* details = nullptr);
    bool Damaged() const { return m_damaged; }
    int64_t Inode() const { return m_inode; }
    std::string_view Body() const { return m_body; }
    // The current event's path, prefix included; false when it is damaged.
    bool ReadPath(const std::string& prefix, const PathDictionary& names, std::string& path) const;
    // The current event but its details, which Next read; false when damaged.
    bool Read(const std::string& prefix, const PathDictionary& names, ChangeEventItem& event) const;

    // The parts of an event's body but its details.
    struct Parts {
        std::string_view path, text, oldPath;
        uint64_t code = 0;
    };

private:
    std::string_view m_block;
    size_t m_at = 0;
    int64_t m_inode = 0;
    std::string_view m_body;
    Parts m_parts;
    bool m_damaged = false;
};

// The event of a body; false when the body is damaged.
bool DecodeEventBody(std::string_view body, int64_t inode, const std::string& prefix,
                     const PathDictionary& names, ChangeEventItem& event);
// Puts body in place of the inode's event in block, or removes the event
// when body is nullptr; false (block unchanged) when the block holds no
// event of the inode or is damaged.
bool EditBlock(std::string& block, int64_t inode, const std::string* body);

}  // namespace eventstore
