// The materialised copy of a local-array snapshot, through which NFS
// clients read the snapshot as <dir>/.snapshot/<name>/.
//
// The copy lives once per snapshot, at <volume>/.snapshot/<name>/. File
// contents are copied, never hard-linked to the live files (a hard link
// would change with them): cloned where the file system shares blocks
// (FICLONE; a file it will not clone, such as a no-copy-on-write one, is
// copied), else read and written once. Holes stay holes: they are neither
// read nor written (SEEK_DATA, SEEK_HOLE), so a large sparse file costs
// what its data costs. A file written while it is copied is copied again, a
// few times at most; one that keeps changing is recorded as it was before
// its last copy began, so that the next snapshot copies it again. A file
// unchanged since the previous snapshot is a clone of that snapshot's copy
// where the file system clones, else a hard link to it (see
// LocalArrayPreviousCopy.h). Symbolic links are copied as links, FIFOs,
// sockets and device nodes as such.
//
// Each copy (of the root, a file, directory, link or special file) gets the
// live item's owner and group where the process may set them, its exact
// permission bits (setuid and setgid only where the copy has the live owner
// and group respectively), its extended attributes and inode flags (see
// LocalArrayItemAttributes.h) and its access and modification times. A
// snapshot stays unchanged because the volume's .snapshot folder admits its
// owner alone: run as root, the array's copies can be changed by root
// alone; run as a user, by that user too. Names of one inode stay hard
// links of one another inside the copy. Each configured export directory
// below the volume root gets .snapshot/<name> as a symbolic link to the
// matching subtree of the copy, with an absolute target so that it resolves
// however the export is mounted on the proxy (bind mount or symbolic link).
//
// None of these functions follows a symbolic link found in the volume, so
// nothing outside the volume is written or removed, and a live file is read
// without moving its access time where the process may.
#pragma once

#include "array/ArrayBackend.h"
#include "array/local/LocalArrayCatalog.h"
#include "array/local/LocalArrayItemAttributes.h"
#include "array/local/LocalArrayPreviousCopy.h"
#include "array/local/LocalArrayTreeWalk.h"
#include "hostlib/Status.h"

#include <functional>
#include <map>
#include <string>
#include <tuple>
#include <vector>

// Name under which a snapshot's copy, and each of its links, is made before
// a rename gives it the snapshot's name; no snapshot may take it.
constexpr char kSnapshotStagingName[] = ".creating";
// Name a snapshot's copy takes while it is deleted, once the snapshot has
// left its name; no snapshot may take it either.
constexpr char kSnapshotDeletingName[] = ".deleting";

class SnapshotCopier {
public:
    // previous, when not null, is the earlier copy to share unchanged files
    // with; it must outlive the copier. step, when set, is called after each
    // piece of a file is copied (a test writes to the file there).
    SnapshotCopier(const std::string& volumeDir, const std::string& copyDir,
                   const PreviousCopy* previous, std::function<void(const char*)> step = nullptr);

    // Creates the copy's root; it must not exist yet. Its folder admits
    // the process's user alone from now on.
    hostlib::Status Begin();
    // Copies one entry of the live tree (the root first, parents before
    // what they hold). Sets the digest of the entry's attributes and, for a
    // regular file, updates entry.st to the state it was copied in and sets
    // the digest of the bytes copied, so the catalog describes the copy;
    // vanished is set when the entry disappeared or cannot be copied (see
    // TakeLeftOut).
    hostlib::Status Copy(LiveTreeEntry& entry, bool& vanished);
    // Gives directories their attributes and times (innermost first), every
    // copy its flags, and makes the copy durable: the catalog committed next
    // must not outlast it.
    hostlib::Status Finish();
    // Files shared with the previous copy so far.
    uint64_t Shared() const { return m_ullShared; }
    // Moves the items the process may not copy (a device node, as a user)
    // to the end of items.
    void TakeLeftOut(std::vector<CatalogLeftOut>& items);

private:
    struct DirectoryToSeal {
        std::string strPath;
        struct stat st;  // of the live directory
        ItemAttributes attributes;
    };
    struct Flagged {
        std::string strPath;
        uint32_t uiFlags;
    };
    hostlib::Status CopyRegularFile(const std::string& source, const std::string& target,
                                    LiveTreeEntry& entry, const ItemAttributes& attributes,
                                    bool& vanished);
    // Clones source into target; false when the file system cannot.
    bool Clone(int source, int target);
    // Clones or links target from the previous copy of an unchanged file;
    // false when there is none to share.
    bool ShareUnchanged(const std::string& target, LiveTreeEntry& entry,
                        const ItemAttributes& attributes);
    hostlib::Status CopySymlink(const std::string& source, const std::string& target,
                                const LiveTreeEntry& entry, const ItemAttributes& attributes,
                                bool& vanished);
    hostlib::Status CopySpecial(const std::string& target, const LiveTreeEntry& entry,
                                const ItemAttributes& attributes, bool& vanished);

    std::string m_volumeDir;
    std::string m_copyDir;
    const PreviousCopy* m_previous;
    std::function<void(const char*)> m_step;
    bool m_bClones = true;  // until the file system says it cannot clone
    uint64_t m_ullShared = 0;
    struct LinkedCopy {
        std::string strCopy;  // the copy of the inode's first name
        struct stat st;
        uint64_t ullDigest;
    };
    std::vector<DirectoryToSeal> m_directories;
    std::vector<Flagged> m_flagged;
    std::vector<CatalogLeftOut> m_leftOut;
    // By device, inode and generation: an inode number met again under
    // another generation is another file.
    std::map<std::tuple<uint64_t, uint64_t, uint64_t>, LinkedCopy> m_linkedCopies;
    std::vector<char> m_buffer;
};

class ActivityMeter;

// Removes a file or a whole tree, giving directories write permission and
// taking immutable and append-only flags away first (a copy keeps its live
// item's). A missing path is not an error.
// meter, when given, counts each name removed and may stop the removal.
hostlib::Status RemoveSnapshotTree(const std::string& path, ActivityMeter* meter = nullptr);

// The directory base/below[0]/below[1]/..., when every step is a real
// directory (no symbolic link); exists is false otherwise.
hostlib::Status RealDirectoryBelow(const std::string& base, const std::vector<std::string>& below,
                                   std::string& path, bool& exists);

// <exportDir>/.snapshot/<name> -> target; creates <exportDir>/.snapshot. The
// link is made under the staging name and renamed into place, replacing a
// link of that name that a creation killed part-way left behind.
hostlib::Status LinkSnapshotIntoExport(const std::string& exportDir, const std::string& name,
                                       const std::string& target);
// Removes <exportDir>/.snapshot/<name> when it is a symbolic link.
hostlib::Status UnlinkSnapshotFromExport(const std::string& exportDir, const std::string& name);

// Creates dir when missing; fails when the name exists as anything but a
// real directory.
hostlib::Status EnsureRealDirectory(const std::string& dir);
