#include "array/local/LocalArrayPreviousCopy.h"

#include "array/local/LocalArrayCatalog.h"
#include "array/local/LocalArrayDigest.h"

#include <algorithm>

void PreviousCopy::Load(const std::string& catalogPath, const std::string& copyDir) {
    m_copyDir = copyDir;
    CatalogReader reader;
    CatalogRow row;
    bool done = false;
    if (!reader.Open(catalogPath).ok()) return;
    std::vector<File> files;
    for (;;) {
        if (!reader.Next(row, done).ok()) return;  // damaged: share nothing
        if (done) break;
        ++m_ullRows;
        if (row.uiFileType != 1 || !row.bHasDigest || !row.bHasAttributes) continue;
        files.push_back(File{row.ullInode, row.ullSize, row.llMtime, row.llCtime, row.uiMtimeNs,
                             row.uiCtimeNs, row.ullDigest,
                             DigestOf(row.strPath.data(), row.strPath.size()), row.ullDevice,
                             row.ullGeneration, row.ullAttributes});
    }
    m_files.swap(files);
}

bool PreviousCopy::Find(const std::string& path, const struct stat& st, uint64_t generation,
                        uint64_t attributes, std::string& copy, uint64_t& digest,
                        struct stat& copyState) const {
    const auto less = [](const File& f, uint64_t inode) { return f.ullInode < inode; };
    auto it = std::lower_bound(m_files.begin(), m_files.end(), uint64_t(st.st_ino), less);
    const uint64_t pathDigest = DigestOf(path.data(), path.size());
    for (; it != m_files.end() && it->ullInode == uint64_t(st.st_ino); ++it) {
        if (it->ullPathDigest != pathDigest || it->ullDevice != uint64_t(st.st_dev) ||
            it->ullGeneration != generation || it->ullAttributes != attributes ||
            it->ullSize != uint64_t(st.st_size) || it->llMtime != st.st_mtim.tv_sec ||
            it->uiMtimeNs != uint32_t(st.st_mtim.tv_nsec) || it->llCtime != st.st_ctim.tv_sec ||
            it->uiCtimeNs != uint32_t(st.st_ctim.tv_nsec))
            continue;
        copy = m_copyDir + "/" + path;
        if (lstat(copy.c_str(), &copyState) != 0 || !S_ISREG(copyState.st_mode) ||
            copyState.st_size != st.st_size || copyState.st_mtim.tv_sec != st.st_mtim.tv_sec ||
            copyState.st_mtim.tv_nsec != st.st_mtim.tv_nsec)
            return false;
        digest = it->ullDigest;
        return true;
    }
    return false;
}
