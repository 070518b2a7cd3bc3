#include "snapclient/shares/ShareMatcher.h"

#include "snapclient/shares/VolumePath.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

bool ShareInVolumeRange(const FileServerExportInfo& share, size_t& start, size_t& length) {
    VolumePathParts parts;
    if (!ParseVolumePath(share.strVolumePath, parts) || parts.volume != share.strVolume)
        return false;
    start = parts.inVolume.data() - share.strVolumePath.data();
    length = parts.inVolume.size();
    return true;
}

namespace {

// FNV-1a: in-volume paths are short, and it spreads /s1 ... /s999 evenly.
size_t HashOf(std::string_view text) {
    uint64_t hash = 14695981039346656037ull;
    for (const unsigned char c : text) {
        hash ^= c;
        hash *= 1099511628211ull;
    }
    return static_cast<size_t>(hash ^ (hash >> 32));
}

}  // namespace

ShareMatcher::ShareMatcher(const std::list<FileServerExportInfo>& shares) : m_pShares(&shares) {
    size_t slots = 2;
    while (slots < 2 * shares.size()) slots *= 2;
    m_slots.resize(slots);
    size_t order = 0;
    for (const FileServerExportInfo& share : shares) {
        size_t start = 0, length = 0;
        if (ShareInVolumeRange(share, start, length)) {
            const Holder holder{&share, order};
            if (length == 0) {
                // An empty in-volume path is the whole volume: every path is in it.
                if (!m_wholeVolume.share) m_wholeVolume = holder;
            } else {
                const std::string_view inVolumePath =
                    std::string_view(share.strVolumePath).substr(start, length);
                Slot& slot = m_slots[SlotAt(inVolumePath)];
                // Of two shares with one in-volume path the earlier stays.
                if (!slot.holder.share) slot = {inVolumePath, holder};
                auto same = std::find_if(m_lengths.begin(), m_lengths.end(),
                                         [length](const Length& l) { return l.length == length; });
                if (same == m_lengths.end()) m_lengths.push_back({length, order});
            }
        }
        ++order;
    }
    std::sort(m_lengths.begin(), m_lengths.end(),
              [](const Length& a, const Length& b) { return a.length < b.length; });
}

size_t ShareMatcher::SlotAt(std::string_view inVolumePath) const {
    const size_t mask = m_slots.size() - 1;
    for (size_t at = HashOf(inVolumePath) & mask;; at = (at + 1) & mask) {
        const Slot& slot = m_slots[at];
        if (!slot.holder.share || slot.inVolumePath == inVolumePath) return at;
    }
}

const FileServerExportInfo* ShareMatcher::Holding(std::string_view path,
                                                  size_t& inVolumeLength) const {
    Holder best = m_wholeVolume;
    inVolumeLength = 0;
    for (const Length& candidate : m_lengths) {
        const size_t length = candidate.length;
        if (length > path.size()) break;
        if (candidate.firstOrder >= best.order) continue;
        // By whole components: /q/dir holds /q/dir and /q/dir/f, not /q/dir2/f.
        if (length < path.size() && path[length] != '/') continue;
        const Holder& found = m_slots[SlotAt(path.substr(0, length))].holder;
        if (!found.share || found.order >= best.order) continue;
        best = found;
        inVolumeLength = length;
    }
    return best.share;
}

const FileServerExportInfo* ShareMatcher::Place(std::string& path) const {
    size_t inVolumeLength = 0;
    const FileServerExportInfo* share = Holding(path, inVolumeLength);
    if (!share) return nullptr;
    path.replace(0, inVolumeLength, share->strBackupPath);
    // The agent's paths use "/" only.
    char* const end = &path[0] + path.size();
    for (char* at = &path[0]; (at = static_cast<char*>(memchr(at, '\\', end - at)));) *at++ = '/';
    return share;
}
