// Which share holds a path: the one rule of the client. A reported path
// (relative to its volume) lies in the earliest share, in list order, whose
// path inside the volume begins it by whole components; a whole-volume share
// takes every path, a volume path of another shape holds nothing. A stored
// path (a backup path) lies in a share when the share's backup path and "/"
// begin it, as the store reads a share. The client builds one matcher per
// SnapDiff run and IsEventPartOfBackupPaths answers through it; a path costs
// one hash lookup per distinct length of the in-volume paths, whatever the
// number of shares. The shares must outlive the matcher unchanged: it keeps
// views of their strings.
#pragma once

#include "records/SnapRecords.h"

#include <list>
#include <string>
#include <string_view>
#include <vector>

// The share's own path inside its volume path (VolumePathParts::inVolume),
// as a range of strVolumePath. False when the volume path does not name the
// share's volume, which then holds no change.
bool ShareInVolumeRange(const FileServerExportInfo& share, size_t& start, size_t& length);

// True when changes can be matched to the share.
inline bool HasMatchableVolumePath(const FileServerExportInfo& share) {
    size_t start = 0, length = 0;
    return ShareInVolumeRange(share, start, length);
}

class ShareMatcher {
public:
    explicit ShareMatcher(const std::list<FileServerExportInfo>& shares);

    // True when the matcher was built from this very list.
    bool Serves(const std::list<FileServerExportInfo>& shares) const {
        return &shares == m_pShares;
    }

    // The share holding the reported path and the length of its in-volume
    // path, which begins path; null when no share holds it.
    const FileServerExportInfo* Holding(std::string_view path, size_t& inVolumeLength) const;

    // path placed under the backup path of the share holding it, every
    // backslash as "/"; null (path untouched) when no share holds it.
    const FileServerExportInfo* Place(std::string& path) const;

    // True when the stored path lies in the share whose backup path followed
    // by "/" is sharePrefix.
    static bool HoldsStoredPath(const std::string& sharePrefix, std::string_view storedPath) {
        return storedPath.compare(0, sharePrefix.size(), sharePrefix) == 0;
    }

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
    const std::list<FileServerExportInfo>* m_pShares;
    std::vector<Slot> m_slots;
    std::vector<Length> m_lengths;  // ascending
    Holder m_wholeVolume{nullptr, static_cast<size_t>(-1)};

    // The slot holding inVolumePath, else the free slot where it belongs.
    size_t SlotAt(std::string_view inVolumePath) const;
};
