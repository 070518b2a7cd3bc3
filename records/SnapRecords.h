// Plain records passed between the snap client, the agent, the storage
// management library and the change event store. Public fields, no
// invariants; strings are byte strings with no assumed encoding.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

typedef int64_t LONGLONG;
typedef uint32_t ULONG;

// One share of the backup job as the client resolves and tracks it.
struct FileServerExportInfo {
    std::string strBackupPath;
    std::string strSnapshotPath;
    std::string strVolumePath;
    std::string strCurrSnapName;
    int64_t llCurrSnapInfo = 0;
    std::string strPrevSnapName;
    int64_t llPrevSnapInfo = 0;
    bool bSnapDiffEnabled = false;
    std::string strReserved1;
    std::string strVolume;
    std::string strReserved2;
    bool bSnapDiffDone = false;
};

// One snapshot of a volume as the array lists it; the client reads strName.
struct SnapShotInfo_t {
    std::string strName;
    std::string strVolume;
    std::string strComment;
    std::vector<std::string> vecOwners;
    int64_t llCreateTime = 0;
    uint64_t ullSize = 0;
    bool bBusy = false;
};

// One change record of a SnapDiff batch.
struct SnapDiffFileInfo {
    uint64_t ullInode = 0;
    uint32_t uiFileType = 0;  // 1 regular, 2 directory, 5 symbolic link
    std::string strChangeType;
    std::string strFileName;
    uint64_t ullFileSize = 0;
    int64_t llAttribute = 0;
    int64_t llMtime = 0;
    int64_t llCtime = 0;
    int64_t llAtime = 0;
};

// One change event as stored in a volume's change event database.
struct ChangeEventItem {
    int64_t llInode;
    std::string strPath;
    int64_t llCtime;
    int64_t llMtime;
    int64_t llAtime;
    std::string strChangeType;
    int64_t llAttribute;
    std::string strOldPath;
    uint32_t uiChangeFlags;
    uint32_t uiFileType;

    ChangeEventItem() : strPath(), strChangeType(), strOldPath() { clear(); }
    void clear() {
        llInode = 0;
        strPath.clear();
        llCtime = 0;
        llMtime = 0;
        llAtime = 0;
        strChangeType.clear();
        llAttribute = 0;
        strOldPath.clear();
        uiChangeFlags = 0;
        uiFileType = 0;
    }
};

// The uiFileType of a directory (SnapDiff's and the change events').
constexpr uint32_t kFileTypeDirectory = 2;

// Change kind bits of ChangeEventItem::uiChangeFlags.
enum : uint32_t {
    kChangeModified = 1,
    kChangeCreated = 2,
    kChangeDeleted = 4,
};

// SnapDiff's change texts (SnapDiffFileInfo::strChangeType), one a change
// kind bit.
constexpr char kChangeTextModified[] = "inode_modification";
constexpr char kChangeTextCreated[] = "file_creation";
constexpr char kChangeTextDeleted[] = "file_deletion";

// The change kind bit of a change text; 0 for any other text. Compared as
// views, which weigh the lengths first: the scan asks this for every change.
inline uint32_t ChangeFlagOfText(std::string_view text) {
    if (text == std::string_view(kChangeTextModified)) return kChangeModified;
    if (text == std::string_view(kChangeTextCreated)) return kChangeCreated;
    if (text == std::string_view(kChangeTextDeleted)) return kChangeDeleted;
    return 0;
}

struct FileServerItemInformation {
    uint64_t ullInode = 0;
    uint32_t uiMode = 0;  // 0x4000 directory, 0x8000 anything else
    int64_t llAtime = 0;
    int64_t llReserved1 = 0;
    int64_t llMtime = 0;
    int64_t llCtime = 0;
    int64_t llAttribute = 0;
    int64_t llReserved2 = 0;
    bool bRenamed = false;
};

// What one pull of the agent's item source returns.
struct FileServerSnapshotCompareItem {
    uint32_t uiStatus = 0;  // see CompareItemStatus
    std::string strPath;
    FileServerItemInformation stItemInfo;
    std::string strOldPath;
    FileServerItemInformation stOldItemInfo;
    bool bReserved = false;
};

enum CompareItemStatus : uint32_t {
    kItemNone = 0,
    kItemCreated = 1,
    kItemModified = 2,
    kItemAllKinds = 3,
    kItemDeleted = 4,
    kItemNoMore = 5,
    kItemFailure = 6,
};

struct AliasInterface {
    int32_t iType = 0;
    std::string strAddress;
};

// The array's identity and access data for the job's client. The client
// reads strClientName and strArrayName only; the rest belongs to NASSnapUtil.
struct NASArrayInfo {
    std::string strClientName;
    std::string strArrayName;
    std::string strUserName;
    std::string strPassword;
    std::string strManagementAddress;
    std::string strVserver;
    std::string strDomain;
    std::string strReserved1;
    std::string strReserved2;
    int32_t iArrayType = 0;
    int32_t iPort = 0;
    int32_t iTransport = 0;
    int32_t iTimeout = 0;
    int32_t iFlags = 0;
    std::string strReserved3;
    int32_t iReserved4 = 0;
    bool bUseSsl = false;
    std::string strReserved5;
    int32_t iReserved6 = 0;
    std::string strReserved7;
    std::vector<AliasInterface> vecAliasInterfaces;
};
