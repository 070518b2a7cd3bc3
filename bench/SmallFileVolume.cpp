#include "bench/SmallFileVolume.h"

#include "bench/BenchSupport.h"

#include <fcntl.h>
#include <linux/btrfs.h>
#include <linux/magic.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>

namespace bench {

SmallFileVolume::SmallFileVolume(const std::string& path) : m_path(path) {
    const size_t slash = path.rfind('/');
    const std::string parent = slash == 0 ? "/" : path.substr(0, slash);
    const std::string name = path.substr(slash + 1);
    struct statfs fs;
    if (slash == std::string::npos || statfs(parent.c_str(), &fs) != 0)
        Fail("cannot reach the folder of volume " + path + ": " + strerror(errno));
    if (fs.f_type == BTRFS_SUPER_MAGIC) {
        const int fd = open(parent.c_str(), O_RDONLY | O_DIRECTORY);
        btrfs_ioctl_vol_args args = {};
        strncpy(args.name, name.c_str(), BTRFS_PATH_NAME_MAX);
        if (fd < 0 || ioctl(fd, BTRFS_IOC_SUBVOL_CREATE, &args) != 0)
            Fail("cannot create the btrfs subvolume " + path + ": " + strerror(errno));
        close(fd);
        m_bSubvolume = true;
    } else if (mkdir(path.c_str(), 0755) != 0) {
        Fail("cannot create " + path + ": " + strerror(errno));
    }
}

std::string SmallFileVolume::FileOf(uint64_t file) {
    return "d" + std::to_string(file / kFilesPerFolder) + "/f" + std::to_string(file);
}

void SmallFileVolume::Fill(uint64_t files) const {
    for (uint64_t file = 0; file < files; ++file) {
        if (file % kFilesPerFolder == 0 &&
            mkdir((m_path + "/d" + std::to_string(file / kFilesPerFolder)).c_str(), 0755) != 0)
            Fail("cannot create a folder in " + m_path + ": " + strerror(errno));
        Write(file, file);
    }
    sync();
}

void SmallFileVolume::Write(uint64_t file, uint64_t version) const {
    const std::string path = m_path + "/" + FileOf(file);
    const std::string contents =
        std::string(92, 'a' + version % 26) + std::to_string(10000000 + version);
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW, 0644);
    if (fd < 0 || write(fd, contents.data(), contents.size()) != ssize_t(contents.size()) ||
        close(fd) != 0)
        Fail("cannot write " + path + ": " + strerror(errno));
}

}  // namespace bench
