// The local array: an array back end kept in a directory of this machine,
// so that the whole product runs, and is tested, without a storage array.
//
// Layout below the root:
//   <root>/<volume>/                     a volume's live tree
//   <root>/<volume>/.snapshot/<name>/    materialised copy of a
//                                        snapshot (see LocalArraySnapshotCopy.h)
//   <root>/<volume>/<dir>/.snapshot/<name>
//                                        link into that copy for each
//                                        configured export directory
//   <root>/.snapcatalog/<volume>/<name>.cat
//                                        the snapshot's catalog (see
//                                        LocalArrayCatalog.h), outside the
//                                        volume so clients never see it
// A snapshot exists when its catalog exists. A creation builds everything
// under temporary names (the catalog as <name>.cat.tmp, the copy and each
// link as .snapshot/.creating) and renames each into place; the rename of
// the catalog, last, commits the snapshot. A btrfs snapshot, whole from the
// one call that makes it, is made at its own name (a rename would set its
// root's ctime) and is debris like the rest until that commit. So a creation that fails, is
// killed or is stopped part-way leaves no snapshot, only debris that nothing
// reads: every name in a .snapshot folder without a catalog, and every
// catalog file that is not one. That debris is removed when the array is
// opened and before each creation, so the rerun of a killed job finds the
// name free and clients never see a half-made copy for long. A deletion
// removes the catalog first and moves the copy aside to .snapshot/.deleting
// before it removes it, so a half-deleted copy is debris as well.
//
// Creation, deletion and debris removal hold the root's lock
// (LocalArrayLock.h), so that no process takes another's creation in
// progress for debris: a creation waits for it up to lock_wait_seconds and
// then fails; an opening that finds it held leaves the debris to the next
// creation. The operator (LocalArrayOperator.h) sees the progress of a
// copy, a deletion and a SnapDiff run and may stop them between two files.
//
// Exports: every /vol/<volume> is exported whole, so
// GetStoragePathForExport answers any existing folder /vol/<volume>[/dir...]
// with that path itself (empty and trailing "/" components dropped); a
// missing volume or folder is unknown (kArrayErrNotFound). The configured
// exports below volumes are where .snapshot links are made.
//
// Volume arguments are names or /vol/<volume>[/...] paths
// (VolumeNameOfArgument). Volume and snapshot names that are empty, ".",
// "..", hold "/" or NUL, or name the catalog folder are refused with
// kArrayErrInvalidArgument before any file is touched; symbolic links met
// in a volume are never followed. Nothing outside the root is read,
// written or deleted.
//
// Config, section [array] of the host config file:
//   backend           = local (the default back end)
//   root              = folder holding the volumes; required. A relative
//                       path is taken from the config file's folder.
//   cluster           = 1 (default) | 0: IsCluster, and the form of SnapDiff
//                       names (see LocalArraySnapDiff.h)
//   cluster_interface = 0 (default) | 1: IsClusterInterface
//   version           = reported ONTAP version, default 9.8.0
//   array_name        = name used in the array's messages; default the
//                       client's array name from its credentials
//   client_name       = default the client name from its credentials
//   materialize       = 1 (default) | 0: keep materialised copies; 0 keeps
//                       only catalogs (for large benchmarks), which then
//                       hold no digest of file contents: a file rewritten
//                       with as many bytes within one tick of the file
//                       system's clock goes unseen
//   max_sessions      = SnapDiff sessions open at once, default 16; the next
//                       start fails with kArrayErrTooManySessions
//   exports           = comma-separated export directories below volumes,
//                       e.g. /vol/vol1/projects,/vol/vol2/home; every
//                       /vol/<volume> is an export as well
//   sort_memory_mb    = memory for sorting a catalog before it spills
//                       sorted runs to disk, default 64
//   lock_wait_seconds = how long a creation or deletion waits for another
//                       process's to end, default 60
//   snapshots         = auto (default) | btrfs | copy: the kind of snapshot
//                       (LocalArraySnapshotKind.h)
// Faults from the config are applied by the FaultInjectingBackend that the
// factory wraps around this back end.
//
// One thread at a time, like every back end.
#pragma once

#include "array/ArrayBackend.h"
#include "array/local/LocalArrayOperator.h"
#include "array/local/LocalArrayPreviousCopy.h"
#include "array/local/LocalArraySnapDiff.h"
#include "array/local/LocalArraySnapshotKind.h"
#include "hostlib/Status.h"

#include <boost/shared_ptr.hpp>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

struct LocalArrayExport {
    std::string strVolume;
    std::vector<std::string> vecBelow;  // directories below the volume root
};

struct LocalArrayConfig {
    std::string strRoot;  // absolute, without symbolic links
    bool bCluster = true;
    bool bClusterInterface = false;
    unsigned uiVersion[3] = {9, 8, 0};
    std::string strArrayName;
    std::string strClientName;
    bool bMaterialize = true;
    unsigned uiMaxSessions = 16;
    std::vector<LocalArrayExport> vecExports;
    size_t sortMemoryBytes = size_t(64) << 20;
    unsigned uiLockWaitSeconds = 60;
    SnapshotsSetting snapshots = SnapshotsSetting::kAuto;
};

// Reads [array] from the host config; fails (kInvalidArgument) naming the
// setting that is missing or unusable.
hostlib::Status LoadLocalArrayConfig(const NASArrayInfo& info, LocalArrayConfig& config);

// The directories of a volume (relative to it, "" for its root) whose
// .snapshot folder is the array's own: the root and each configured export.
std::set<std::string> LocalArrayFolders(const LocalArrayConfig& config, const std::string& volume);

class LocalArray : public ArrayBackend {
public:
    explicit LocalArray(const LocalArrayConfig& config);

    ArrayStatus OpenConnection() override;
    bool IsCluster() override;
    bool IsClusterInterface() override;
    ArrayStatus GetVersion(unsigned& major, unsigned& minor, unsigned& third) override;
    ArrayStatus GetStoragePathForExport(const std::string& exportPath,
                                        std::string& volumePath) override;
    ArrayStatus ListSnapshots(const std::string& volume, const std::string& prefix,
                              std::vector<SnapShotInfo_t>& snapshots) override;
    ArrayStatus CreateSnapshot(const std::string& volume, const std::string& name) override;
    ArrayStatus DeleteSnapshot(const std::string& volume, const std::string& name) override;
    ArrayStatus SnapDiffStart(const std::string& volume, const std::string& base,
                              const std::string& incremental, unsigned long maxItems,
                              const std::string& protocol, std::string& handle, bool& escapedNames,
                              bool& emptyBatchesAllowed) override;
    ArrayStatus SnapDiffNext(const std::string& handle, std::vector<SnapDiffFileInfo>& batch,
                             bool& end) override;
    ArrayStatus SnapDiffEnd(const std::string& handle) override;

    size_t OpenSessions() const { return m_sessions.size(); }
    // Called with the name of each step of a snapshot creation or deletion
    // as it ends (each piece of a file copied too), so that a test can act
    // there: write to the file being copied, or stop as a kill would.
    void SetStepHook(std::function<void(const char* step)> hook) { m_step = std::move(hook); }

private:
    // Name and folder of the volume an argument names, when it exists.
    hostlib::Status ResolveVolume(const std::string& argument, std::string& volume,
                                  std::string& volumeDir) const;
    std::string CatalogDir(const std::string& volume) const;
    std::string CatalogPath(const std::string& volume, const std::string& snapshot) const;
    // <catalog folder>/<snapshot><suffix>: the snapshot's files beside its catalog.
    std::string SnapshotFile(const std::string& volume, const std::string& snapshot,
                             const char* suffix) const;
    bool IsBtrfsSnapshot(const std::string& volume, const std::string& name) const;
    hostlib::Status RequireSnapshot(const std::string& volume, const std::string& snapshot) const;
    // The volume's .snapshot folder, when it is a real folder.
    bool SnapshotFolder(const std::string& volumeDir, std::string& folder) const;
    // The directories (relative to the volume, "" for its root) whose
    // .snapshot folder is the array's own.
    std::set<std::string> ArrayFolders(const std::string& volume) const;
    // Makes the array's .snapshot folders of the volume for a snapshot of
    // that kind and names what the volume keeps in an export's one.
    hostlib::Status PrepareSnapshotFolders(const std::string& volume, const std::string& volumeDir,
                                           SnapshotKind kind, std::vector<CatalogLeftOut>& hidden);
    hostlib::Status BuildSnapshot(const std::string& volume, const std::string& volumeDir,
                                  const std::string& name, const std::string& catalogPath);
    hostlib::Status BuildBtrfsSnapshot(const std::string& volume, const std::string& volumeDir,
                                       const std::string& name);
    // What a SnapDiff session of the two snapshots reads its changes from:
    // btrfs's own comparison of two read-only snapshots where the process
    // may run it (CAP_SYS_ADMIN) and the incremental left nothing out, so
    // the cost grows with the changes; the catalogs of the two otherwise.
    hostlib::Status OpenDiffSource(const std::string& volume, const std::string& volumeDir,
                                   const SnapDiffNaming& naming, unsigned long maxItems,
                                   std::unique_ptr<SnapDiffSource>& source);
    // The catalog of a committed snapshot; a btrfs snapshot's is walked from
    // the read-only snapshot the first time it is asked for.
    hostlib::Status ComparableCatalog(const std::string& volume, const std::string& volumeDir,
                                      const std::string& name, std::string& catalog);
    // The newest committed snapshot of the volume that has a copy to share
    // unchanged files with.
    void LoadPreviousCopy(const std::string& volume, const std::string& volumeDir,
                          PreviousCopy& previous);
    // Calls visit for each existing directory of a configured export of the volume.
    hostlib::Status ForEachExportDirectory(
        const std::string& volume, const std::string& volumeDir,
        const std::function<hostlib::Status(const LocalArrayExport&, const std::string&)>& visit);
    hostlib::Status LinkIntoExports(const std::string& volume, const std::string& volumeDir,
                                    const std::string& name);
    hostlib::Status UnlinkFromExports(const std::string& volume, const std::string& volumeDir,
                                      const std::string& name);
    // Removes what creations that never committed left on a volume.
    hostlib::Status RemoveUnfinishedCreations(const std::string& volume,
                                              const std::string& volumeDir);
    bool Committed(const std::string& volume, const std::string& name) const;
    void Step(const char* step) const {
        if (m_step) m_step(step);
    }
    // The array's answer to the agent: its name before the message.
    ArrayStatus Failure(uint32_t code, const std::string& message) const;
    ArrayStatus Failure(const hostlib::Status& status) const;

    struct Session {
        std::unique_ptr<SnapDiffSource> diff;
        std::unique_ptr<ActivityMeter> meter;
    };
    LocalArrayConfig m_config;
    std::map<std::string, Session> m_sessions;
    uint64_t m_ullNextHandle = 1;
    std::function<void(const char*)> m_step;
};

// The back end for [array] backend = local; fails, leaving backend as it
// was, when the config is unusable.
hostlib::Status CreateLocalArrayFromConfig(const NASArrayInfo& info,
                                           boost::shared_ptr<ArrayBackend>& backend);
