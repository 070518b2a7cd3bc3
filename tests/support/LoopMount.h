// A real file system of one kind ("btrfs", "xfs", "ext4") made in an image
// file inside a temporary folder and loop-mounted there, for tests of what
// only a real file system does (snapshots, clones, holes, attributes).
// It needs root, the kind's mkfs program and a kernel that allows loop
// mounts; when one is missing, Available() is false and Missing() names it,
// for GTEST_SKIP. The image is sparse, so its size costs nothing until
// written. Destroyed, it unmounts (lazily when something still holds the
// mount) and removes the image with its folder.
#pragma once

#include "tests/support/TestSupport.h"

#include <string>

namespace testsupport {

class LoopMount {
public:
    explicit LoopMount(const std::string& kind, unsigned sizeMiB = 2048);
    ~LoopMount();
    LoopMount(const LoopMount&) = delete;
    LoopMount& operator=(const LoopMount&) = delete;

    bool Available() const { return m_missing.empty(); }
    // What is missing, e.g. "root (running as uid 1000)" or "mkfs.xfs".
    const std::string& Missing() const { return m_missing; }
    const std::string& Kind() const { return m_kind; }
    // The mounted file system's root folder.
    const std::string& Path() const { return m_mountPoint; }

private:
    TempDir m_dir;
    std::string m_kind;
    std::string m_mountPoint;
    std::string m_missing;
    bool m_bMounted = false;
};

// Skips the running test when the file system cannot be had here.
#define SKIP_UNLESS_MOUNTED(mount)                                                   \
    do {                                                                             \
        if (!(mount).Available())                                                    \
            GTEST_SKIP() << (mount).Kind() << " volume needs " << (mount).Missing(); \
    } while (0)

}  // namespace testsupport
