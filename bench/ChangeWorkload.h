// The synthetic SnapDiff run that every scan benchmark measures: record i
// of N is a pure function of i, so the client run, the plain SQLite ceiling
// and the tests see exactly the same changes without holding them in memory.
//
// Mix, per 40 records: 28 modifications, 6 creations, 4 deletions and one
// rename sent as a deletion of the old name followed by a creation of the
// new one with the same inode (70 / 15 / 10 / 5 %). Inodes rise with the
// record index, as an array reports them. Paths are 3 to 8 components deep
// ("/s<k>/folder-NNN/.../file-<inode>.dat") and spread over the shares
// /s0../s<shares-1> of volume "vola"; one name in five carries bytes that the
// array escapes ("r\C3\A9sum\C3\A9\20<inode>.txt"). Backup paths put share k
// at /mnt/s<k>.
//
// Each record yields one compare item: a modification status 2, a creation
// 1, a deletion 4, and a rename's two records the two items of the merged
// event (old path 4, new path 1).
#pragma once

#include <charconv>
#include <cstdint>
#include <string>

namespace bench {

enum class ChangeKind { kModification, kCreation, kDeletion, kRenameFrom, kRenameTo };

struct WorkloadChange {
    uint64_t inode = 0;
    uint32_t fileType = 1;  // 1 regular file, 2 directory
    ChangeKind kind = ChangeKind::kModification;
    unsigned share = 0;
    std::string escapedName;  // volume-relative, as the array sends it
    std::string backupPath;   // where the client places it, without a trailing "/"
    int64_t atime = 0;
    int64_t ctime = 0;
    int64_t mtime = 0;
    int64_t attribute = 0644;
};

inline const char* ChangeTypeText(ChangeKind kind) {
    switch (kind) {
        case ChangeKind::kModification:
            return "inode_modification";
        case ChangeKind::kCreation:
        case ChangeKind::kRenameTo:
            return "file_creation";
        default:
            return "file_deletion";
    }
}

// Status of the compare item a record yields.
inline uint32_t ExpectedItemStatus(ChangeKind kind) {
    switch (kind) {
        case ChangeKind::kModification:
            return 2;
        case ChangeKind::kCreation:
        case ChangeKind::kRenameTo:
            return 1;
        default:
            return 4;
    }
}

class ChangeWorkload {
public:
    static constexpr uint64_t kRecordsPerGroup = 40;
    static constexpr uint64_t kChangesPerGroup = 39;
    static constexpr uint64_t kFirstInode = 64;

    ChangeWorkload(uint64_t records, unsigned shares) : m_records(records), m_shares(shares) {}

    uint64_t Records() const { return m_records; }
    unsigned Shares() const { return m_shares; }
    static std::string ShareBackupPath(unsigned share) { return "/mnt/s" + std::to_string(share); }
    static std::string ShareVolumePath(unsigned share) {
        return "/vol/vola/s" + std::to_string(share);
    }

    // The cheap facts of a record, without building its names.
    ChangeKind KindOf(uint64_t index) const { return Slot(index).kind; }
    uint64_t InodeOf(uint64_t index) const {
        return kFirstInode + index / kRecordsPerGroup * kChangesPerGroup + Slot(index).change;
    }
    unsigned ShareOf(uint64_t index) const {
        return static_cast<unsigned>(Mix(InodeOf(index)) % m_shares);
    }

    // Fills everything; the backup path only when asked, since the array
    // side of a benchmark has no use for it.
    void Fill(uint64_t index, WorkloadChange& out, bool withBackupPath = true) const {
        const uint64_t inode = InodeOf(index);
        const uint64_t hash = Mix(inode);
        out.inode = inode;
        out.kind = Slot(index).kind;
        out.share = static_cast<unsigned>(hash % m_shares);
        out.fileType = (out.kind == ChangeKind::kModification && inode % 20 == 3) ? 2 : 1;
        out.mtime = 1700000000 + static_cast<int64_t>(inode);
        out.ctime = out.mtime + 1;
        out.atime = out.mtime + 2;

        // The in-volume directory, shared by both names.
        std::string& name = out.escapedName;
        name.assign("/s");
        AppendNumber(name, out.share);
        const unsigned folders = 1 + static_cast<unsigned>((hash >> 16) % 6);
        for (unsigned level = 0; level < folders; ++level) {
            name.append("/folder-");
            AppendNumber(name, (hash >> (24 + 6 * level)) % 1000);
        }
        const size_t directoryLength = name.size();

        const bool escaped = (hash >> 8) % 5 == 0;
        const char* rawStem = "/file-";
        const char* stem = rawStem;
        if (out.fileType == 2) {
            stem = rawStem = "/dir-";
        } else if (escaped) {
            stem = "/r\\C3\\A9sum\\C3\\A9\\20";
            rawStem = "/r\xC3\xA9sum\xC3\xA9 ";
        }
        name.append(stem);
        const size_t numberAt = name.size();
        AppendNumber(name, inode);
        if (out.fileType != 2)
            name.append(out.kind == ChangeKind::kRenameFrom ? ".old" : escaped ? ".txt" : ".dat");

        out.backupPath.clear();
        if (!withBackupPath) return;
        out.backupPath.assign("/mnt");
        out.backupPath.append(name, 0, directoryLength);
        out.backupPath.append(rawStem);
        out.backupPath.append(name, numberAt, std::string::npos);
    }

private:
    struct SlotInfo {
        ChangeKind kind;
        uint64_t change;  // index of the change within its group
    };

    // One group of 39 changes; R is a rename, sent as two records.
    static SlotInfo Slot(uint64_t index) {
        static const SlotInfo* const table = BuildTable();
        return table[index % kRecordsPerGroup];
    }
    static const SlotInfo* BuildTable() {
        static const char kPattern[] = "MMCMMMDMMMCMMMMDMMMRMCMMMDMMMCMMCMDMMCM";
        static SlotInfo table[kRecordsPerGroup];
        uint64_t record = 0;
        for (uint64_t change = 0; change < kChangesPerGroup; ++change) {
            switch (kPattern[change]) {
                case 'M':
                    table[record++] = {ChangeKind::kModification, change};
                    break;
                case 'C':
                    table[record++] = {ChangeKind::kCreation, change};
                    break;
                case 'D':
                    table[record++] = {ChangeKind::kDeletion, change};
                    break;
                default:
                    table[record++] = {ChangeKind::kRenameFrom, change};
                    table[record++] = {ChangeKind::kRenameTo, change};
            }
        }
        return table;
    }
    static uint64_t Mix(uint64_t x) {  // splitmix64 finaliser
        x ^= x >> 30;
        x *= 0xbf58476d1ce4e5b9ULL;
        x ^= x >> 27;
        x *= 0x94d049bb133111ebULL;
        return x ^ (x >> 31);
    }
    static void AppendNumber(std::string& out, uint64_t value) {
        char digits[24];
        const auto result = std::to_chars(digits, digits + sizeof digits, value);
        out.append(digits, result.ptr);
    }

    uint64_t m_records;
    unsigned m_shares;
};

}  // namespace bench
