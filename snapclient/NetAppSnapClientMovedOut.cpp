#include "snapclient/MovedOutInodes.h"

bool CMovedOutInodes::Note(const ChangeEventItem& event, std::string& lostShare) {
    if (event.strOldPath.empty()) return true;
    const std::string* left = ShareOf(event.strOldPath);
    if (!left || left == ShareOf(event.strPath)) return true;
    if (m_setInodes.size() >= kMaxInodes && !m_setInodes.count(event.llInode)) {
        lostShare = *left;
        return false;
    }
    m_setInodes.insert(event.llInode);
    return true;
}

const std::string* CMovedOutInodes::ShareOf(const std::string& path) const {
    for (const std::string& prefix : m_vecSharePrefixes)
        if (path.compare(0, prefix.size(), prefix) == 0) return &prefix;
    return nullptr;
}
