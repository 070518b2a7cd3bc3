#include "tools/ShareWalk.h"

#include "tools/ItemText.h"

#include <ftw.h>
#include <sys/stat.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace snapagent {
namespace {

// nftw keeps no user data: the walk in progress (one per thread).
struct Walk {
    const std::string* pShare;
    const std::function<bool(const FileServerSnapshotCompareItem&, uint64_t)>* pOnItem;
    size_t nRootLength;  // the path below the root follows, with its "/"
    std::string strError;
};
thread_local Walk* t_pWalk = nullptr;

// Few folders open at a time, however deep the tree.
const int kOpenFolders = 16;

int Visit(const char* path, const struct stat* st, int type, struct FTW* at) {
    Walk& walk = *t_pWalk;
    if (at->level == 0) return FTW_CONTINUE;
    if (type == FTW_DNR || type == FTW_NS) {
        walk.strError = "cannot read " + PrintablePath(path) + ": " + strerror(errno);
        return FTW_STOP;
    }
    const bool folder = type == FTW_D;
    if (folder && at->level == 1 && strcmp(path + at->base, ".snapshot") == 0)
        return FTW_SKIP_SUBTREE;
    FileServerSnapshotCompareItem item;
    item.uiStatus = kItemCreated;
    item.strPath = *walk.pShare + (path + walk.nRootLength) + (folder ? "/" : "");
    item.stItemInfo.ullInode = st->st_ino;
    item.stItemInfo.uiMode = folder ? 0x4000 : 0x8000;
    item.stItemInfo.llAtime = st->st_atime;
    item.stItemInfo.llMtime = st->st_mtime;
    item.stItemInfo.llCtime = st->st_ctime;
    const uint64_t size = S_ISREG(st->st_mode) ? static_cast<uint64_t>(st->st_size) : 0;
    return (*walk.pOnItem)(item, size) ? FTW_CONTINUE : FTW_STOP;
}

}  // namespace

bool WalkShare(const std::string& readRoot, const std::string& share,
               const std::function<bool(const FileServerSnapshotCompareItem&, uint64_t)>& onItem,
               std::string& error) {
    // The root may be reached through a link (the array's view of a
    // share's snapshot is one); nothing below it is followed.
    char* resolved = realpath(readRoot.c_str(), nullptr);
    if (!resolved) {
        error = "cannot read " + PrintablePath(readRoot) + ": " + strerror(errno);
        return false;
    }
    const std::string root = resolved;
    free(resolved);
    const std::string name = share == "/" ? std::string() : share;
    Walk walk{&name, &onItem, root.size(), std::string()};
    Walk* const outer = t_pWalk;
    t_pWalk = &walk;
    const int rc = nftw(root.c_str(), Visit, kOpenFolders, FTW_PHYS | FTW_ACTIONRETVAL);
    t_pWalk = outer;
    if (rc == -1 && walk.strError.empty())
        walk.strError = "cannot read " + PrintablePath(root) + ": " + strerror(errno);
    error = walk.strError;
    return error.empty();
}

}  // namespace snapagent
