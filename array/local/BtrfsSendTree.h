// Follows a volume's tree as a btrfs send stream rebuilds the incremental
// snapshot from the base one, to tell which inode each command's path names
// at that point of the stream: paths there name the tree part-way through
// (a new inode first appears under an orphan name "o<ino>-<gen>-<n>", and a
// folder's rename moves all it holds). Only what the stream touches is kept;
// every other name is looked up in the base snapshot when first needed, so
// memory and cost grow with the changes, not with the files.
//
// What it gathers: every inode a command named (each may have changed), the
// inodes whose contents were written, and per directory inode the names the
// stream added or removed there.
#pragma once

#include "array/ArrayBackend.h"
#include "array/local/BtrfsSendStream.h"
#include "hostlib/Status.h"

#include <cstdint>
#include <map>
#include <set>
#include <string>

class BtrfsSendTree {
public:
    // The root folder of the base snapshot (read-only; only looked at).
    explicit BtrfsSendTree(const std::string& baseDir);

    hostlib::Status Apply(const btrfssend::SendCommand& command);

    const std::set<uint64_t>& Named() const { return m_named; }
    bool Written(uint64_t inode) const { return m_written.count(inode) != 0; }
    // The names the stream touched in the directory, each with the inode it
    // holds at the end of the stream (0: none).
    const std::map<std::string, uint64_t>* TouchedNames(uint64_t directory) const;

    static constexpr uint64_t kRootInode = 256;

private:
    struct Place {
        uint64_t ullParent = 0;
        std::string strLeaf;
        uint64_t ullInode = 0;  // 0: no such name
    };
    hostlib::Status Resolve(const std::string& path, Place& place);
    hostlib::Status Lookup(uint64_t directory, const std::string& name, uint64_t& inode);
    hostlib::Status ResolveExisting(const btrfssend::SendCommand& command, uint16_t attribute,
                                    Place& place);
    void Put(const Place& place, uint64_t inode);

    std::string m_baseDir;
    std::map<uint64_t, std::map<std::string, uint64_t>> m_entries;
    std::map<uint64_t, std::string> m_basePaths;  // directories met in the base
    std::set<uint64_t> m_new;                     // inodes the stream made
    std::set<uint64_t> m_named;
    std::set<uint64_t> m_written;
};
