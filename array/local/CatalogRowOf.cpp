#include "array/local/CatalogRowOf.h"

CatalogRow CatalogRowOf(const LiveTreeEntry& entry) {
    CatalogRow row;
    row.ullInode = entry.st.st_ino;
    row.ullParentInode = entry.ullParentInode;
    row.uiFileType = SnapDiffFileType(entry.st.st_mode);
    row.uiMode = entry.st.st_mode & 07777;
    row.ullSize = S_ISDIR(entry.st.st_mode) ? 0 : static_cast<uint64_t>(entry.st.st_size);
    row.llAtime = entry.st.st_atim.tv_sec;
    row.llCtime = entry.st.st_ctim.tv_sec;
    row.llMtime = entry.st.st_mtim.tv_sec;
    row.uiAtimeNs = static_cast<uint32_t>(entry.st.st_atim.tv_nsec);
    row.uiCtimeNs = static_cast<uint32_t>(entry.st.st_ctim.tv_nsec);
    row.uiMtimeNs = static_cast<uint32_t>(entry.st.st_mtim.tv_nsec);
    row.ullLinks = entry.st.st_nlink;
    row.uiOwner = entry.st.st_uid;
    row.uiGroup = entry.st.st_gid;
    row.bHasDigest = entry.bHasDigest;
    row.ullDigest = entry.ullDigest;
    row.ullDevice = entry.st.st_dev;
    row.ullGeneration = entry.ullGeneration;
    row.ullParentGeneration = entry.ullParentGeneration;
    row.bHasAttributes = entry.bHasAttributes;
    row.ullAttributes = entry.ullAttributes;
    row.strPath = entry.strPath;
    return row;
}

CatalogRow BtrfsSnapshotRowOf(const LiveTreeEntry& entry) {
    CatalogRow row = CatalogRowOf(entry);
    row.ullDevice = 0;
    return row;
}
