// A local-array volume of small files for the snapshot benchmarks: file i
// holds about 100 bytes and lives in folder d<i / 1000>, so that 10^6 files
// make 1,000 folders of 1,000. The volume folder is made the way a user of
// that file system would make it: a btrfs subvolume on btrfs (so that the
// array can take its own kind of snapshot there), a plain folder elsewhere.
// Every failure stops the program (Fail) rather than measure a broken
// volume.
#pragma once

#include <cstdint>
#include <string>

namespace bench {

class SmallFileVolume {
public:
    static constexpr uint64_t kFilesPerFolder = 1000;

    // Makes the empty volume folder at path; its parent must exist.
    explicit SmallFileVolume(const std::string& path);

    const std::string& Path() const { return m_path; }
    // Volume-relative path of file i.
    static std::string FileOf(uint64_t file);
    // Files 0 .. files-1 (file i at version i), then flushed to disk.
    void Fill(uint64_t files) const;
    // Writes file i holding version v: 100 bytes that differ between
    // versions, so a rewrite keeps the size and changes the bytes.
    void Write(uint64_t file, uint64_t version) const;
    // True when the folder is a btrfs subvolume.
    bool IsSubvolume() const { return m_bSubvolume; }

private:
    std::string m_path;
    bool m_bSubvolume = false;
};

}  // namespace bench
