#include "hostlib/eventstore/InodeMap.h"

#include "hostlib/eventstore/Layout.h"
#include "hostlib/eventstore/Varint.h"

#include <algorithm>

namespace eventstore {

namespace {

int64_t GroupOf(int64_t inode) {
    return static_cast<int64_t>(static_cast<uint64_t>(inode) / InodeMap::kGroupInodes);
}

uint32_t PlaceOf(int64_t inode) {
    return static_cast<uint32_t>(static_cast<uint64_t>(inode) % InodeMap::kGroupInodes);
}

bool ByPlace(const InodeMap::Entry& a, const InodeMap::Entry& b) { return a.place < b.place; }

// Sorts inodes as unsigned numbers, which lines them up by group and by
// place in the group: a radix sort of the bytes in which they differ, a
// few passes where a comparison sort would take sixteen.
void SortInodes(std::vector<int64_t>& inodes, std::vector<int64_t>& scratch) {
    uint64_t low = UINT64_MAX, high = 0;
    for (int64_t inode : inodes) {
        low = std::min(low, uint64_t(inode));
        high = std::max(high, uint64_t(inode));
    }
    scratch.resize(inodes.size());
    for (int shift = 0; shift < 64 && ((high - low) >> shift) != 0; shift += 8) {
        size_t starts[257] = {};
        const auto digit = [&](int64_t inode) { return ((uint64_t(inode) - low) >> shift) & 255; };
        for (int64_t inode : inodes) ++starts[digit(inode) + 1];
        for (size_t value = 0; value < 256; ++value) starts[value + 1] += starts[value];
        for (int64_t inode : inodes) scratch[starts[digit(inode)]++] = inode;
        inodes.swap(scratch);
    }
}

}  // namespace

Status InodeMap::Prepare(sqlite3* db) {
    m_pending.Reserve(kPendingEntries);
    m_order.clear();
    Status status = eventstore::Prepare(db, kReadInodeGroup, m_read, true);
    if (status.ok()) status = eventstore::Prepare(db, kWriteInodeGroup, m_write, true);
    return status;
}

// An entry is one varint (zigzag(block difference) << 2) | gap, where gap
// is the count of places skipped since the entry before (from place -1 for
// the first); a gap of 3 or more is written 3, and the gap less 3 follows
// as a varint. Inodes of a SnapDiff run are dense and their blocks close,
// so most entries take one byte.
const uint64_t kLongGap = 3;

void InodeMap::EncodeGroup(const std::vector<Entry>& entries, std::string& out) {
    int64_t place = -1;
    int64_t block = 0;
    for (const Entry& entry : entries) {
        const uint64_t gap = static_cast<uint64_t>(entry.place - place - 1);
        AppendVarint(out, (Zigzag(entry.block - block) << 2) | std::min(gap, kLongGap));
        if (gap >= kLongGap) AppendVarint(out, gap - kLongGap);
        place = entry.place;
        block = entry.block;
    }
}

bool InodeMap::DecodeGroup(std::string_view bytes, std::vector<Entry>& entries) {
    entries.clear();
    const unsigned char* at = reinterpret_cast<const unsigned char*>(bytes.data());
    const unsigned char* const end = at + bytes.size();
    int64_t place = -1;
    int64_t block = 0;
    while (at < end) {
        uint64_t value = 0, more = 0;
        if (!GetVarint(at, end, value)) return false;
        uint64_t gap = value & 3;
        if (gap == kLongGap) {
            if (!GetVarint(at, end, more) || more >= uint64_t(kGroupInodes)) return false;
            gap += more;
        }
        if (gap >= uint64_t(kGroupInodes - 1 - place)) return false;
        place += static_cast<int64_t>(gap) + 1;
        block = static_cast<int64_t>(static_cast<uint64_t>(block) +
                                     static_cast<uint64_t>(Unzigzag(value >> 2)));
        if (block <= 0 || block >= WaitingIndex::kAbsent) return false;
        entries.push_back({static_cast<uint32_t>(place), block});
    }
    return true;
}

Status InodeMap::ReadGroup(int64_t group, std::vector<Entry>& entries) {
    sqlite3_bind_int64(m_read.get(), 1, group);
    const int rc = sqlite3_step(m_read.get());
    entries.clear();
    Status status;
    if (rc == SQLITE_ROW) {
        const void* bytes = sqlite3_column_blob(m_read.get(), 0);
        const std::string_view row(static_cast<const char*>(bytes),
                                   static_cast<size_t>(sqlite3_column_bytes(m_read.get(), 0)));
        if (!DecodeGroup(row, entries)) status = SqliteStatus(nullptr, SQLITE_CORRUPT);
    } else if (rc != SQLITE_DONE) {
        status = SqliteStatus(sqlite3_db_handle(m_read.get()), rc);
    }
    sqlite3_reset(m_read.get());
    return status;
}

Status InodeMap::WriteGroup(int64_t group, std::vector<Entry>& entries) {
    m_bytes.clear();
    EncodeGroup(entries, m_bytes);
    sqlite3_bind_int64(m_write.get(), 1, group);
    BindBytes(m_write.get(), 2, m_bytes.data(), m_bytes.size());
    return StepOnce(m_write.get());
}

Status InodeMap::Put(int64_t inode, int64_t block) {
    // A block number the waiting entries cannot hold: the file has grown
    // past what the store can map.
    if (block <= 0 || block >= WaitingIndex::kAbsent) return SqliteStatus(nullptr, SQLITE_FULL);
    m_pending.Put(inode, static_cast<uint32_t>(block));
    m_order.push_back(inode);
    return m_order.size() < kPendingEntries ? Status() : Flush();
}

Status InodeMap::Find(int64_t inode, int64_t& block) {
    block = 0;
    const uint32_t pending = m_pending.Find(inode);
    if (pending != WaitingIndex::kAbsent) {
        block = pending;
        return Status();
    }
    Status status = ReadGroup(GroupOf(inode), m_entries);
    if (!status.ok()) return status;
    const Entry wanted{PlaceOf(inode), 0};
    const auto found = std::lower_bound(m_entries.begin(), m_entries.end(), wanted, ByPlace);
    if (found != m_entries.end() && found->place == wanted.place) block = found->block;
    return status;
}

Status InodeMap::Flush() {
    SortInodes(m_order, m_scratch);
    for (size_t next = 0; next < m_order.size();) {
        const int64_t group = GroupOf(m_order[next]);
        Status status = ReadGroup(group, m_entries);
        if (!status.ok()) return status;
        const size_t stored = m_entries.size();
        for (; next < m_order.size() && GroupOf(m_order[next]) == group; ++next) {
            const int64_t inode = m_order[next];
            if (m_entries.size() > stored && m_entries.back().place == PlaceOf(inode)) continue;
            m_entries.push_back({PlaceOf(inode), m_pending.Find(inode)});
        }
        // Stable: of two entries of one inode the new one comes last and stays.
        std::inplace_merge(m_entries.begin(), m_entries.begin() + stored, m_entries.end(), ByPlace);
        size_t kept = 0;
        for (size_t at = 0; at < m_entries.size(); ++at) {
            if (kept && m_entries[kept - 1].place == m_entries[at].place) --kept;
            m_entries[kept++] = m_entries[at];
        }
        m_entries.resize(kept);
        status = WriteGroup(group, m_entries);
        if (!status.ok()) return status;
    }
    m_order.clear();
    m_pending.Reserve(kPendingEntries);
    return Status();
}

}  // namespace eventstore
