#include "hostlib/eventstore/StoreFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>

namespace eventstore {

namespace {

CRyError RemoveEarlierFiles(const StoreFailure& store) {
    static const char* const kSideFiles[] = {"", "-journal", "-wal", "-shm"};
    for (const char* side : kSideFiles) {
        const std::string file = store.Path() + side;
        if (unlink(file.c_str()) != 0 && errno != ENOENT && errno != ENOTDIR)
            return store.Error(FX_LOCATION, "Create",
                               "cannot remove the earlier file [" + file + "]: " + strerror(errno));
    }
    return CRyError::Success();
}

}  // namespace

CRyError CreateStoreFile(const StoreFailure& store) {
    CRyError error = RemoveEarlierFiles(store);
    if (error.IsError()) return error;
    error = store.Inject(STORE_WHERE, "CreateFile");
    if (error.IsError()) return error;
    const std::string& path = store.Path();
    const int fd = open(path.c_str(), O_CREAT | O_EXCL | O_NOFOLLOW | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0) {
        close(fd);
        return error;
    }
    const int openErrno = errno;
    struct stat status;
    if (lstat(path.c_str(), &status) == 0 && S_ISLNK(status.st_mode))
        return store.Error(
            FX_LOCATION, "Create",
            "[" + path + "] is a symbolic link, which could redirect the store's writes");
    return store.Error(FX_LOCATION, "Create",
                       "unable to open [" + path + "]: " + strerror(openErrno));
}

std::string SqliteFileName(const std::string& path) { return path[0] == '/' ? path : "./" + path; }

}  // namespace eventstore
