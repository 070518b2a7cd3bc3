// Which share of a SnapDiff run holds a reported path, at a cost that does
// not grow with the number of shares: each share's path inside its volume
// is cut once per run, and a path costs one hash lookup per distinct length
// of those in-volume paths. The results are those of the client's own
// IsEventPartOfBackupPaths: the earliest share in list order wins, a share
// matches by whole path components, a whole-volume share takes every path,
// a volume path of another shape holds nothing. The shares must outlive the
// matcher unchanged: it keeps views of their strings.
#pragma once

#include "records/SnapRecords.h"

#include <list>
#include <string>
#include <string_view>
#include <vector>

class CNetAppSnapClient;

// The share's own path inside its volume path, as a range of strVolumePath:
// after the volume's directory ("/vol"), its "/" and the volume name, and
// without trailing "/" (which names the same directory but, left in place,
// would glue the backup path to the next component: /mnt/s + f). False for
// a volume path of another shape, which then holds no change.
bool ShareInVolumeRange(const FileServerExportInfo& share, size_t& start, size_t& length);

class ShareMatcher {
public:
    explicit ShareMatcher(const std::list<FileServerExportInfo>& shares);

    // out becomes path placed under the backup path of the share holding it,
    // every backslash as "/"; null (out untouched) when no share holds it.
    const FileServerExportInfo* Place(std::string_view path, std::string& out) const;

    // True when the client's IsEventPartOfBackupPaths is its own, so that a
    // matcher may stand in for it; false for a client class that overrides
    // it, whose override then must see every path.
    static bool StandsInFor(const CNetAppSnapClient& client);

private:
    struct Holder {
        const FileServerExportInfo* share;
        size_t order;  // position in the list: the earlier wins
    };
    struct Length {
        size_t length;
        size_t firstOrder;  // earliest share with an in-volume path this long
    };
    // In-volume path -> earliest share with it, open addressing in a table
    // of a power of two at least twice as large as the shares. (The
    // standard unordered map compares small maps key by key, which made
    // matching grow with the shares again.)
    struct Slot {
        std::string_view inVolumePath;
        Holder holder{nullptr, 0};  // no share: a free slot
    };
    std::vector<Slot> m_slots;
    std::vector<Length> m_lengths;  // ascending
    Holder m_wholeVolume{nullptr, static_cast<size_t>(-1)};

    // The slot holding inVolumePath, else the free slot where it belongs.
    size_t SlotAt(std::string_view inVolumePath) const;
    // The share holding path and the length of its in-volume path, which
    // begins path; null when no share holds it.
    const FileServerExportInfo* Find(std::string_view path, size_t& inVolumeLength) const;
};
