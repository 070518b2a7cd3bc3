// What the newest earlier snapshot of a volume holds, so that a snapshot
// copy shares every file unchanged since then with that snapshot's copy (a
// clone where the file system makes one, else a hard link) instead of
// copying it again: a second snapshot of a large volume then costs what its
// changed files cost. Both copies sit behind a .snapshot folder only root
// may enter, so only root can change a
// shared file, and a hard-linked one then changes in both.
//
// A file counts as unchanged when the earlier catalog has a row of the same
// inode (device, number and generation) and path with the same size,
// modification and change times (to the nanosecond), extended attributes
// and flags, and a digest of its contents, and that copy is still a regular
// file of that size and time. Every write moves the change time, so the
// digest carried over is that of the bytes the shared file holds. A row of
// a catalog written before copies kept attributes is never shared.
//
// Memory: one small record per file of the earlier snapshot, sorted by inode.
#pragma once

#include "array/ArrayBackend.h"

#include <sys/stat.h>
#include <cstdint>
#include <string>
#include <vector>

class PreviousCopy {
public:
    // Reads the earlier snapshot's catalog; its copy is at copyDir. A
    // catalog that cannot be read leaves nothing to share: every file is
    // then copied, which is slower but never wrong.
    void Load(const std::string& catalogPath, const std::string& copyDir);
    // Rows of the earlier snapshot (an estimate of the files to copy).
    uint64_t Rows() const { return m_ullRows; }
    // The earlier copy of the file at path whose live state is st (with
    // that generation and attribute digest), the digest of its contents and
    // the copy's own state, when it is unchanged; false otherwise.
    bool Find(const std::string& path, const struct stat& st, uint64_t generation,
              uint64_t attributes, std::string& copy, uint64_t& digest,
              struct stat& copyState) const;

private:
    struct File {
        uint64_t ullInode;
        uint64_t ullSize;
        int64_t llMtime;
        int64_t llCtime;
        uint32_t uiMtimeNs;
        uint32_t uiCtimeNs;
        uint64_t ullDigest;
        uint64_t ullPathDigest;
        uint64_t ullDevice;
        uint64_t ullGeneration;
        uint64_t ullAttributes;
    };
    std::string m_copyDir;
    std::vector<File> m_files;  // sorted by inode, as the catalog is
    uint64_t m_ullRows = 0;
};
