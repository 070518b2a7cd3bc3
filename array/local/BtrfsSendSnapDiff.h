// A SnapDiff session of the local array over two read-only btrfs snapshots
// of a volume, read from the file system's own comparison: the send stream
// of the incremental snapshot against the base one, without file data
// (BTRFS_IOC_SEND with BTRFS_SEND_FLAG_NO_FILE_DATA), written by a thread
// into a pipe. The stream says which inodes changed; each one's names
// (BTRFS_IOC_INO_PATHS) and state in both snapshots then give the same
// records, in the same order, as SnapDiffMerge gives over catalogs of the
// two snapshots, but a write the stream reports is a change even when the
// file's size and times were put back. Cost and memory grow with the
// changes, not the files.
//
// Both the send and the name lookup need CAP_SYS_ADMIN. The whole stream is
// read by the first Next; an operator's stop is honoured while it is read.
// Destroyed at any point, the session ends the send (its pipe closed) and
// waits for the thread.
#pragma once

#include "array/local/BtrfsSendTree.h"
#include "array/local/InodeSnapDiff.h"
#include "hostlib/Status.h"

#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

class BtrfsSendSnapDiff : public InodeSnapDiff {
public:
    BtrfsSendSnapDiff(const SnapDiffNaming& naming, unsigned long requestedBatchSize);
    ~BtrfsSendSnapDiff() override;
    BtrfsSendSnapDiff(const BtrfsSendSnapDiff&) = delete;
    BtrfsSendSnapDiff& operator=(const BtrfsSendSnapDiff&) = delete;

    // baseDir, incrementalDir: the snapshots' root folders. arrayFolders:
    // the folders whose ".snapshot" is the array's (as for WalkLiveTree),
    // left out of the records.
    hostlib::Status Open(const std::string& baseDir, const std::string& incrementalDir,
                         const std::set<std::string>& arrayFolders);

private:
    hostlib::Status Refill() override;
    hostlib::Status ReadStream();
    void EndSend();
    hostlib::Status Failed(const std::string& what, int error) const;
    hostlib::Status RowsOf(int rootFd, const std::string& rootDir, uint64_t inode,
                           std::vector<CatalogRow>& rows) const;
    hostlib::Status NamesChanged(uint64_t directory, const std::string& basePath,
                                 const std::string& incrementalPath, bool& changed) const;
    bool ArrayOwned(const std::string& path) const;

    std::string m_baseDir;
    std::string m_incrementalDir;
    std::set<std::string> m_arrayFolders;
    int m_baseFd = -1;
    int m_incrementalFd = -1;
    int m_readFd = -1;
    uint64_t m_baseRoot = 0;  // the base snapshot's tree id: parent and clone source
    std::thread m_sender;
    int m_sendError = 0;  // set by the sender before it closes its end of the pipe
    std::unique_ptr<BtrfsSendTree> m_tree;
    bool m_bRead = false;
    std::set<uint64_t>::const_iterator m_nextInode;
    std::vector<CatalogRow> m_baseRows;
    std::vector<CatalogRow> m_incrementalRows;
};
