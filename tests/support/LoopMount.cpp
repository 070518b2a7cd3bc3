#include "tests/support/LoopMount.h"

#include <sys/mount.h>
#include <unistd.h>
#include <cstdlib>

namespace testsupport {
namespace {

// The mkfs program of kind, where the system keeps its tools.
std::string FindMkfs(const std::string& kind) {
    for (const char* dir : {"/usr/sbin/", "/sbin/", "/usr/bin/", "/bin/"}) {
        std::string path = std::string(dir) + "mkfs." + kind;
        if (access(path.c_str(), X_OK) == 0) return path;
    }
    return std::string();
}

bool Run(const std::string& command) { return system((command + " >/dev/null 2>&1").c_str()) == 0; }

}  // namespace

LoopMount::LoopMount(const std::string& kind, unsigned sizeMiB)
    : m_kind(kind), m_mountPoint(m_dir / "mnt") {
    if (geteuid() != 0) {
        m_missing = "root (running as uid " + std::to_string(geteuid()) + ")";
        return;
    }
    std::string mkfs = FindMkfs(kind);
    if (mkfs.empty()) {
        m_missing = "mkfs." + kind + " (scripts/install-deps installs it)";
        return;
    }
    std::string image = m_dir / "image";
    WriteFile(image, "");
    if (truncate(image.c_str(), off_t(sizeMiB) << 20) != 0) {
        m_missing = "room for a sparse image in " + m_dir.Path();
        return;
    }
    std::string force = kind == "ext4" ? " -F" : kind == "xfs" ? " -f" : "";
    if (!Run(mkfs + " -q" + force + " '" + image + "'")) {
        m_missing = "a working " + mkfs;
        return;
    }
    MakeDirs(m_mountPoint);
    if (!Run("mount -o loop '" + image + "' '" + m_mountPoint + "'")) {
        m_missing = "a kernel that allows loop mounts of " + kind;
        return;
    }
    m_bMounted = true;
}

LoopMount::~LoopMount() {
    if (!m_bMounted) return;
    sync();
    if (umount(m_mountPoint.c_str()) != 0) umount2(m_mountPoint.c_str(), MNT_DETACH);
}

}  // namespace testsupport
