#include "array/local/LocalArray.h"

#include "array/ArrayStatusOf.h"
#include "array/local/BtrfsSendSnapDiff.h"
#include "array/local/BtrfsSubvolume.h"
#include "array/local/CatalogRowOf.h"
#include "array/local/LocalArrayCatalog.h"
#include "array/local/LocalArrayLock.h"
#include "array/local/LocalArrayNames.h"
#include "array/local/LocalArraySnapshotCopy.h"
#include "array/local/LocalArrayTreeWalk.h"
#include "array/local/MountedBelowVolume.h"

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <set>

#include "host/LogWriter.h"

using hostlib::Status;

namespace {

// Folder of the catalogs, beside the volumes; no volume may take its name.
const char kCatalogFolder[] = ".snapcatalog";
const char kCatalogSuffix[] = ".cat";
const char kBuildingSuffix[] = ".tmp";
// A btrfs snapshot is committed by a catalog of no rows that records only
// what the snapshot left out; the catalog of its files is walked from the
// read-only snapshot when a comparison first needs it.
const char kBtrfsMarkerSuffix[] = ".btrfs";
const char kBtrfsCatalogSuffix[] = ".btrfscat";

bool IsRealDirectory(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsRegularFile(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool EndsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// Names in a folder (without "." and ".."); a folder that is missing or is
// not a real directory has none.
Status NamesIn(const std::string& dir, std::vector<std::string>& names) {
    names.clear();
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT || errno == ENOTDIR || errno == ELOOP) return Status::OK();
        return Status::IOError("cannot read " + dir + ": " + strerror(errno));
    }
    DIR* stream = fdopendir(fd);
    if (!stream) {
        close(fd);
        return Status::IOError("cannot read " + dir);
    }
    while (struct dirent* ent = readdir(stream))
        if (strcmp(ent->d_name, ".") != 0 && strcmp(ent->d_name, "..") != 0)
            names.push_back(ent->d_name);
    closedir(stream);
    return Status::OK();
}

Status RemoveFile(const std::string& path) {
    if (unlink(path.c_str()) != 0 && errno != ENOENT)
        return Status::IOError("cannot remove " + path + ": " + strerror(errno));
    return Status::OK();
}

// A snapshot's copy or btrfs snapshot, whole or in part.
Status RemoveSnapshotItem(const std::string& path, ActivityMeter* meter) {
    if (!IsBtrfsSubvolume(path)) return RemoveSnapshotTree(path, meter);
    Status status = DeleteBtrfsSubvolume(path);
    if (status.ok() && meter) status = meter->Tick();
    return status;
}

// A .snapshot folder of a volume that takes btrfs snapshots is a subvolume
// of its own, so that each snapshot shows it as an empty folder and never
// holds the earlier snapshots or their links. A plain folder holding only
// the array's links becomes one with the same links; one holding anything
// else is left as it is.
Status EnsureSnapshotSubvolume(const std::string& folder) {
    if (IsBtrfsSubvolume(folder)) return Status::OK();
    std::vector<std::pair<std::string, std::string>> links;
    struct stat st;
    if (lstat(folder.c_str(), &st) == 0) {
        std::vector<std::string> names;
        Status status = NamesIn(folder, names);
        if (!status.ok()) return status;
        for (const std::string& name : names) {
            char target[PATH_MAX];
            const ssize_t length =
                readlink((folder + "/" + name).c_str(), target, sizeof target - 1);
            if (length < 0) return EnsureRealDirectory(folder);
            links.emplace_back(name, std::string(target, size_t(length)));
        }
        for (const auto& link : links) {
            status = RemoveFile(folder + "/" + link.first);
            if (!status.ok()) return status;
        }
        if (rmdir(folder.c_str()) != 0)
            return Status::IOError("cannot replace " + folder + ": " + strerror(errno));
    }
    Status status = MakeBtrfsSubvolume(folder);
    for (size_t i = 0; status.ok() && i < links.size(); ++i)
        if (symlink(links[i].second.c_str(), (folder + "/" + links[i].first).c_str()) != 0)
            status = Status::IOError("cannot link " + folder + "/" + links[i].first + ": " +
                                     strerror(errno));
    return status;
}

// Records what a snapshot left out in its catalog and names each in the
// log, so that no comparison to it claims to know how those items changed.
void LeaveOut(CatalogWriter& writer, const std::string& volume, const std::string& name,
              const std::vector<CatalogLeftOut>& items) {
    for (const CatalogLeftOut& item : items) {
        if (g_ptrLogWriter)
            g_ptrLogWriter->Log(-1, __PRETTY_FUNCTION__, __LINE__,
                                "Snapshot [%s] of volume [%s] leaves out [%s] and what it "
                                "holds: %s",
                                name.c_str(), volume.c_str(),
                                EscapeSnapDiffName(item.strPath).c_str(),
                                LeftOutReasonText(item.reason));
        writer.LeaveOut(item);
    }
}

// Makes the names in a folder outlast a power cut.
void SyncDirectory(const std::string& dir) {
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

}  // namespace

LocalArray::LocalArray(const LocalArrayConfig& config) : m_config(config) {}

ArrayStatus LocalArray::Failure(uint32_t code, const std::string& message) const {
    return ArrayStatus::Fail(code, m_config.strArrayName + ": " + message);
}

ArrayStatus LocalArray::Failure(const Status& status) const {
    return ArrayStatusOf(status, m_config.strArrayName + ": ");
}

ArrayStatus LocalArray::OpenConnection() {
    if (!IsRealDirectory(m_config.strRoot))
        return Failure(kArrayErrNotConnected,
                       "array root " + m_config.strRoot + " is not reachable");
    // A job killed while it created a snapshot left debris; clear it on
    // every volume now, so that no later job or client meets it. A volume
    // whose debris cannot be removed is left to its next creation, which
    // tries again and fails for that volume alone. While another process
    // holds the lock, what looks like debris may be its creation in
    // progress: it is left to the next creation, which waits for the lock.
    RootLock lock;
    if (CurrentLocalArrayOperator().bInspectOnly || !lock.TryAcquire(m_config.strRoot))
        return ArrayStatus::Ok();
    std::vector<std::string> volumes;
    NamesIn(m_config.strRoot, volumes);
    for (const std::string& volume : volumes) {
        std::string volumeDir = m_config.strRoot + "/" + volume;
        if (volume != kCatalogFolder && CheckLocalArrayName("volume", volume).ok() &&
            IsRealDirectory(volumeDir))
            RemoveUnfinishedCreations(volume, volumeDir);
    }
    return ArrayStatus::Ok();
}

bool LocalArray::Committed(const std::string& volume, const std::string& name) const {
    return IsRegularFile(CatalogPath(volume, name)) || IsBtrfsSnapshot(volume, name);
}

bool LocalArray::IsBtrfsSnapshot(const std::string& volume, const std::string& name) const {
    return IsRegularFile(SnapshotFile(volume, name, kBtrfsMarkerSuffix));
}

Status LocalArray::RemoveUnfinishedCreations(const std::string& volume,
                                             const std::string& volumeDir) {
    // Catalogs being written and their sorted runs: every file there that
    // is not a committed catalog or btrfs snapshot, or the walked catalog of
    // a btrfs snapshot that is no longer.
    std::vector<std::string> names;
    Status status = NamesIn(CatalogDir(volume), names);
    const auto kept = [&](const std::string& file) {
        const size_t walked = strlen(kBtrfsCatalogSuffix);
        return EndsWith(file, kCatalogSuffix) || EndsWith(file, kBtrfsMarkerSuffix) ||
               (EndsWith(file, kBtrfsCatalogSuffix) &&
                IsBtrfsSnapshot(volume, file.substr(0, file.size() - walked)));
    };
    for (size_t i = 0; status.ok() && i < names.size(); ++i)
        if (!kept(names[i])) status = RemoveFile(CatalogDir(volume) + "/" + names[i]);
    // Copies, whole or partial, of snapshots that were never committed, and
    // what a deletion stopped part-way left (.snapshot/.deleting).
    std::string folder;
    if (status.ok() && SnapshotFolder(volumeDir, folder))
        status = NamesIn(folder, names);
    else
        names.clear();
    for (size_t i = 0; status.ok() && i < names.size(); ++i) {
        if (Committed(volume, names[i])) continue;
        ActivityMeter meter(LocalArrayWork::kDeleting, volume, names[i]);
        status = RemoveSnapshotItem(folder + "/" + names[i], &meter);
    }
    // Their links in the export directories; anything else there is left alone.
    if (status.ok())
        status = ForEachExportDirectory(
            volume, volumeDir, [&](const LocalArrayExport&, const std::string& exportDir) {
                std::vector<std::string> links;
                Status listed = NamesIn(exportDir + "/.snapshot", links);
                for (size_t i = 0; listed.ok() && i < links.size(); ++i) {
                    std::string link = exportDir + "/.snapshot/" + links[i];
                    struct stat st;
                    if (!Committed(volume, links[i]) && lstat(link.c_str(), &st) == 0 &&
                        S_ISLNK(st.st_mode))
                        listed = RemoveFile(link);
                }
                return listed;
            });
    if (!status.ok())
        return status.WithMessage("cannot clear an unfinished snapshot creation on volume " +
                                  volume + ": " + status.message());
    return Status::OK();
}

bool LocalArray::IsCluster() { return m_config.bCluster; }

bool LocalArray::IsClusterInterface() { return m_config.bClusterInterface; }

ArrayStatus LocalArray::GetVersion(unsigned& major, unsigned& minor, unsigned& third) {
    major = m_config.uiVersion[0];
    minor = m_config.uiVersion[1];
    third = m_config.uiVersion[2];
    return ArrayStatus::Ok();
}

Status LocalArray::ResolveVolume(const std::string& argument, std::string& volume,
                                 std::string& volumeDir) const {
    volume = VolumeNameOfArgument(argument);
    Status status = CheckLocalArrayName("volume", volume);
    if (!status.ok()) return status;
    if (volume == kCatalogFolder)
        return Status::InvalidArgument("invalid volume name [" + volume + "]: reserved");
    volumeDir = m_config.strRoot + "/" + volume;
    if (!IsRealDirectory(volumeDir))
        return Status::NotFound("volume " + EscapeSnapDiffName(volume) + " not found");
    return Status::OK();
}

std::string LocalArray::CatalogDir(const std::string& volume) const {
    return m_config.strRoot + "/" + kCatalogFolder + "/" + volume;
}

std::string LocalArray::CatalogPath(const std::string& volume, const std::string& snapshot) const {
    return SnapshotFile(volume, snapshot, kCatalogSuffix);
}

std::string LocalArray::SnapshotFile(const std::string& volume, const std::string& snapshot,
                                     const char* suffix) const {
    return CatalogDir(volume) + "/" + snapshot + suffix;
}

bool LocalArray::SnapshotFolder(const std::string& volumeDir, std::string& folder) const {
    folder = volumeDir + "/.snapshot";
    return IsRealDirectory(folder);
}

Status LocalArray::RequireSnapshot(const std::string& volume, const std::string& snapshot) const {
    Status status = CheckLocalArrayName("snapshot", snapshot);
    if (!status.ok()) return status;
    if (!Committed(volume, snapshot))
        return Status::NotFound("snapshot " + EscapeSnapDiffName(snapshot) +
                                " not found on volume " + volume);
    return Status::OK();
}

ArrayStatus LocalArray::GetStoragePathForExport(const std::string& exportPath,
                                                std::string& volumePath) {
    std::string volume;
    std::vector<std::string> below;
    Status status = SplitVolumePath(exportPath, volume, below);
    if (!status.ok()) return Failure(status);
    std::string volumeDir;
    status = ResolveVolume(volume, volume, volumeDir);
    if (!status.ok()) return Failure(status);
    // Every /vol/<volume> is exported, so any folder inside a volume is
    // reachable below an export; one that does not exist is unknown.
    std::string dir;
    bool exists = false;
    status = RealDirectoryBelow(volumeDir, below, dir, exists);
    if (!status.ok()) return Failure(status);
    if (!exists)
        return Failure(kArrayErrNotFound,
                       "export " + EscapeSnapDiffName(exportPath) + " not found");
    volumePath = "/vol/" + volume;
    for (const std::string& component : below) volumePath += "/" + component;
    return ArrayStatus::Ok();
}

ArrayStatus LocalArray::ListSnapshots(const std::string& volumeArgument, const std::string& prefix,
                                      std::vector<SnapShotInfo_t>& snapshots) {
    snapshots.clear();
    std::string volume, volumeDir;
    Status status = ResolveVolume(volumeArgument, volume, volumeDir);
    if (!status.ok()) return Failure(status);
    std::string catalogDir = CatalogDir(volume);
    DIR* stream = opendir(catalogDir.c_str());
    if (!stream) {
        if (errno == ENOENT) return ArrayStatus::Ok();  // no snapshot taken yet
        return Failure(kArrayErrInternal, "cannot read " + catalogDir + ": " + strerror(errno));
    }
    while (struct dirent* ent = readdir(stream)) {
        std::string file = ent->d_name;
        const char* suffix = EndsWith(file, kCatalogSuffix)       ? kCatalogSuffix
                             : EndsWith(file, kBtrfsMarkerSuffix) ? kBtrfsMarkerSuffix
                                                                  : nullptr;
        if (!suffix) continue;
        std::string name = file.substr(0, file.size() - strlen(suffix));
        if (name.compare(0, prefix.size(), prefix) != 0) continue;
        struct stat st;
        if (lstat((catalogDir + "/" + file).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        SnapShotInfo_t info;
        info.strName = name;
        info.strVolume = volume;
        info.llCreateTime = st.st_mtim.tv_sec;
        snapshots.push_back(info);
    }
    closedir(stream);
    std::sort(snapshots.begin(), snapshots.end(),
              [](const SnapShotInfo_t& a, const SnapShotInfo_t& b) {
                  return a.llCreateTime != b.llCreateTime ? a.llCreateTime < b.llCreateTime
                                                          : a.strName < b.strName;
              });
    return ArrayStatus::Ok();
}

ArrayStatus LocalArray::CreateSnapshot(const std::string& volumeArgument, const std::string& name) {
    std::string volume, volumeDir;
    Status status = ResolveVolume(volumeArgument, volume, volumeDir);
    if (!status.ok()) return Failure(status);
    status = CheckLocalArrayName("snapshot", name);
    if (!status.ok()) return Failure(status);
    if (name == kSnapshotStagingName || name == kSnapshotDeletingName)
        return Failure(kArrayErrInvalidArgument, "invalid snapshot name [" + name + "]: reserved");
    std::string catalogPath = CatalogPath(volume, name);
    struct stat st;
    if (lstat(catalogPath.c_str(), &st) == 0 ||
        lstat(SnapshotFile(volume, name, kBtrfsMarkerSuffix).c_str(), &st) == 0)
        return Failure(kArrayErrSnapshotExists, "snapshot " + EscapeSnapDiffName(name) +
                                                    " already exists on volume " + volume);
    SnapshotKind kind;
    status = ChooseSnapshotKind(m_config.snapshots, volumeDir, kind);
    if (!status.ok())
        return Failure(status.WithMessage("cannot create snapshot " + EscapeSnapDiffName(name) +
                                          " on volume " + volume + ": " + status.message()));
    RootLock lock;
    status = lock.Acquire(m_config.strRoot, m_config.uiLockWaitSeconds);
    if (status.ok()) status = EnsureRealDirectory(m_config.strRoot + "/" + kCatalogFolder);
    if (status.ok()) status = EnsureRealDirectory(CatalogDir(volume));
    if (!status.ok())
        return Failure(status.WithMessage("cannot create snapshot " + EscapeSnapDiffName(name) +
                                          " on volume " + volume + ": " + status.message()));
    status = RemoveUnfinishedCreations(volume, volumeDir);
    if (!status.ok()) return Failure(status);

    status = kind == SnapshotKind::kBtrfs ? BuildBtrfsSnapshot(volume, volumeDir, name)
                                          : BuildSnapshot(volume, volumeDir, name, catalogPath);
    if (!status.ok()) {
        // Leave nothing of a failed snapshot behind; the catalog was never
        // renamed into place, so the name stays free. A stopped one is left
        // as a killed one would be, since clearing a large copy takes
        // minutes: the next creation or opening clears it.
        if (!LocalArrayStopRequested()) RemoveUnfinishedCreations(volume, volumeDir);
        return Failure(status.WithMessage("cannot create snapshot " + EscapeSnapDiffName(name) +
                                          " on volume " + volume + ": " + status.message()));
    }
    return ArrayStatus::Ok();
}

void LocalArray::LoadPreviousCopy(const std::string& volume, const std::string& volumeDir,
                                  PreviousCopy& previous) {
    std::vector<SnapShotInfo_t> snapshots;
    if (!ListSnapshots(volume, "", snapshots).bOk) return;
    for (auto it = snapshots.rbegin(); it != snapshots.rend(); ++it) {
        const std::string copy = volumeDir + "/.snapshot/" + it->strName;
        if (!IsRealDirectory(copy) || IsBtrfsSnapshot(volume, it->strName)) continue;
        previous.Load(CatalogPath(volume, it->strName), copy);
        return;
    }
}

std::set<std::string> LocalArrayFolders(const LocalArrayConfig& config, const std::string& volume) {
    std::set<std::string> folders{""};
    for (const LocalArrayExport& exp : config.vecExports) {
        if (exp.strVolume != volume) continue;
        std::string below;
        for (const std::string& component : exp.vecBelow)
            below += (below.empty() ? "" : "/") + component;
        folders.insert(below);
    }
    return folders;
}

std::set<std::string> LocalArray::ArrayFolders(const std::string& volume) const {
    return LocalArrayFolders(m_config, volume);
}

Status LocalArray::PrepareSnapshotFolders(const std::string& volume, const std::string& volumeDir,
                                          SnapshotKind kind, std::vector<CatalogLeftOut>& hidden) {
    // The .snapshot folders are made before the tree is read, so that their
    // coming into being belongs to this snapshot rather than showing as a
    // change of the directories that hold them in the next. Only these are
    // the array's; a .snapshot anywhere else is the volume's data.
    const bool btrfs = kind == SnapshotKind::kBtrfs;
    if (!btrfs && !m_config.bMaterialize) return Status::OK();
    const auto ensure = [btrfs](const std::string& folder) {
        return btrfs ? EnsureSnapshotSubvolume(folder) : EnsureRealDirectory(folder);
    };
    Status status = ensure(volumeDir + "/.snapshot");
    if (!status.ok()) return status;
    return ForEachExportDirectory(
        volume, volumeDir, [&](const LocalArrayExport& exp, const std::string& exportDir) {
            Status made = ensure(exportDir + "/.snapshot");
            // The array keeps only its links there; anything else in that
            // folder is in no snapshot.
            std::vector<std::string> names;
            if (made.ok()) made = NamesIn(exportDir + "/.snapshot", names);
            std::string below;
            for (const std::string& component : exp.vecBelow) below += component + "/";
            struct stat st;
            for (const std::string& item : names)
                if (lstat((exportDir + "/.snapshot/" + item).c_str(), &st) == 0 &&
                    !S_ISLNK(st.st_mode))
                    hidden.push_back(CatalogLeftOut{CatalogLeftOut::kInSnapshotFolder,
                                                    below + ".snapshot/" + item});
            return made;
        });
}

Status LocalArray::BuildSnapshot(const std::string& volume, const std::string& volumeDir,
                                 const std::string& name, const std::string& catalogPath) {
    const std::string folder = volumeDir + "/.snapshot";
    const std::string staging = folder + "/" + kSnapshotStagingName;
    PreviousCopy previous;
    std::unique_ptr<SnapshotCopier> copier;
    // Items in an export's .snapshot come first, then what the walk and the
    // copy could not keep.
    std::vector<CatalogLeftOut> leftOut;
    Status status = PrepareSnapshotFolders(volume, volumeDir, SnapshotKind::kCopy, leftOut);
    if (!status.ok()) return status;
    if (m_config.bMaterialize) {
        LoadPreviousCopy(volume, volumeDir, previous);
        copier.reset(new SnapshotCopier(volumeDir, staging, &previous,
                                        [this](const char* step) { Step(step); }));
        status = copier->Begin();
        if (!status.ok()) return status;
    }
    std::string buildingPath = catalogPath + kBuildingSuffix;
    CatalogWriter writer(buildingPath, m_config.sortMemoryBytes);
    ActivityMeter meter(LocalArrayWork::kCopying, volume, name, previous.Rows());
    status = WalkLiveTree(
        volumeDir, ArrayFolders(volume),
        [&](LiveTreeEntry& entry, bool& skip) {
            Status going = meter.Tick();
            if (!going.ok()) return going;
            if (copier) {
                Status copied = copier->Copy(entry, skip);
                if (!copied.ok() || skip) return copied;
            }
            Step("entry");
            return writer.Add(CatalogRowOf(entry));
        },
        &leftOut);
    if (copier) copier->TakeLeftOut(leftOut);
    LeaveOut(writer, volume, name, leftOut);
    if (status.ok()) status = writer.Finish();
    if (status.ok() && copier) status = copier->Finish();
    Step("built");
    if (status.ok() && copier && rename(staging.c_str(), (folder + "/" + name).c_str()) != 0)
        status = Status::IOError("cannot put the copy of snapshot " + name +
                                 " in place: " + strerror(errno));
    Step("copy in place");
    if (status.ok() && copier) status = LinkIntoExports(volume, volumeDir, name);
    if (status.ok() && rename(buildingPath.c_str(), catalogPath.c_str()) != 0)
        status = Status::IOError("cannot commit catalog " + catalogPath + ": " + strerror(errno));
    if (!status.ok()) return status;
    // The rename is the snapshot; make it outlast a power cut as well.
    SyncDirectory(CatalogDir(volume));
    meter.LeftOut(leftOut.size());
    return Status::OK();
}

Status LocalArray::BuildBtrfsSnapshot(const std::string& volume, const std::string& volumeDir,
                                      const std::string& name) {
    const std::string folder = volumeDir + "/.snapshot";
    std::vector<CatalogLeftOut> hidden;
    ActivityMeter meter(LocalArrayWork::kSnapshotting, volume, name);
    Status status = PrepareSnapshotFolders(volume, volumeDir, SnapshotKind::kBtrfs, hidden);
    // What is mounted or nested below the volume is an empty folder in the
    // snapshot and in no send stream. Recorded as left out, it makes a
    // comparison to this snapshot refuse, as one to a copy does, rather
    // than report the share compared while the backup lacks what it holds.
    std::vector<std::string> below;
    if (status.ok()) status = FindMountedBelowVolume(volumeDir, ArrayFolders(volume), below);
    for (const std::string& item : below)
        hidden.push_back(CatalogLeftOut{CatalogLeftOut::kOtherFileSystem, item});
    if (status.ok()) status = meter.Tick(0);
    if (!status.ok()) return status;
    const std::string marker = SnapshotFile(volume, name, kBtrfsMarkerSuffix);
    const std::string building = marker + kBuildingSuffix;
    CatalogWriter writer(building, m_config.sortMemoryBytes);
    LeaveOut(writer, volume, name, hidden);
    // The one call that is the snapshot: atomic, and its cost does not grow
    // with the volume's files. It is made at its own name, not renamed
    // there as a copy is: a rename sets the ctime of the snapshot's root,
    // which would then differ from the volume's and show the root changed
    // in every comparison. Whole from the start, it needs no staging name;
    // until its marker commits it, it is debris like any uncommitted name.
    status = MakeReadOnlyBtrfsSnapshot(volumeDir, folder + "/" + name);
    if (status.ok()) SyncDirectory(folder);
    Step("built");
    if (status.ok()) status = LinkIntoExports(volume, volumeDir, name);
    if (status.ok()) status = writer.Finish();
    if (status.ok() && rename(building.c_str(), marker.c_str()) != 0)
        status = Status::IOError("cannot commit snapshot " + marker + ": " + strerror(errno));
    if (!status.ok()) return status;
    SyncDirectory(CatalogDir(volume));
    meter.LeftOut(hidden.size());
    return Status::OK();
}

Status LocalArray::ForEachExportDirectory(
    const std::string& volume, const std::string& volumeDir,
    const std::function<Status(const LocalArrayExport&, const std::string&)>& visit) {
    for (const LocalArrayExport& exp : m_config.vecExports) {
        if (exp.strVolume != volume || exp.vecBelow.empty()) continue;
        std::string exportDir;
        bool exists = false;
        Status status = RealDirectoryBelow(volumeDir, exp.vecBelow, exportDir, exists);
        if (status.ok() && exists) status = visit(exp, exportDir);
        if (!status.ok()) return status;
    }
    return Status::OK();
}

Status LocalArray::LinkIntoExports(const std::string& volume, const std::string& volumeDir,
                                   const std::string& name) {
    // An export directory that does not exist has nothing to reach the
    // snapshot through.
    return ForEachExportDirectory(
        volume, volumeDir, [&](const LocalArrayExport& exp, const std::string& exportDir) {
            std::string target = volumeDir + "/.snapshot/" + name;
            for (const std::string& component : exp.vecBelow) target += "/" + component;
            Status status = LinkSnapshotIntoExport(exportDir, name, target);
            Step("linked");
            return status;
        });
}

Status LocalArray::UnlinkFromExports(const std::string& volume, const std::string& volumeDir,
                                     const std::string& name) {
    return ForEachExportDirectory(volume, volumeDir,
                                  [&](const LocalArrayExport&, const std::string& exportDir) {
                                      return UnlinkSnapshotFromExport(exportDir, name);
                                  });
}

ArrayStatus LocalArray::DeleteSnapshot(const std::string& volumeArgument, const std::string& name) {
    std::string volume, volumeDir;
    Status status = ResolveVolume(volumeArgument, volume, volumeDir);
    if (!status.ok()) return Failure(status);
    status = RequireSnapshot(volume, name);
    if (!status.ok()) return Failure(status);
    // Only root may delete a read-only btrfs snapshot; refused before the
    // snapshot leaves its name, it stays whole and listed.
    const bool btrfs = IsBtrfsSnapshot(volume, name);
    if (btrfs && !MayDeleteBtrfsSnapshots())
        return Failure(kArrayErrInternal, "cannot delete snapshot " + EscapeSnapDiffName(name) +
                                              " on volume " + volume +
                                              ": deleting a btrfs snapshot needs root "
                                              "(CAP_SYS_ADMIN); it is kept. Run the job as root");
    RootLock lock;
    status = lock.Acquire(m_config.strRoot, m_config.uiLockWaitSeconds);
    // The snapshot first leaves its name: its catalog goes (the deletion's
    // commit) and its copy takes the debris name, which every opening of the
    // array clears, as it clears an unfinished creation. So no listing shows
    // part of a snapshot under its name, and a deletion stopped or killed
    // while it removes a large copy leaves debris, not a snapshot.
    if (status.ok() && !Committed(volume, name))
        return Failure(RequireSnapshot(volume, name));  // another process deleted it meanwhile
    // A btrfs snapshot's walked catalog goes first: without it the snapshot
    // is still whole, and its marker is the commit.
    if (status.ok() && btrfs) status = RemoveFile(SnapshotFile(volume, name, kBtrfsCatalogSuffix));
    const std::string catalogPath =
        btrfs ? SnapshotFile(volume, name, kBtrfsMarkerSuffix) : CatalogPath(volume, name);
    if (status.ok() && unlink(catalogPath.c_str()) != 0)
        status = Status::IOError("cannot remove " + catalogPath + ": " + strerror(errno));
    const bool listed = !status.ok();
    if (!listed) SyncDirectory(CatalogDir(volume));
    Step("unlisted");
    std::string folder;
    const bool copied = status.ok() && SnapshotFolder(volumeDir, folder);
    const std::string debris = folder + "/" + kSnapshotDeletingName;
    ActivityMeter meter(LocalArrayWork::kDeleting, volume, name);
    if (copied) status = RemoveSnapshotItem(debris, &meter);  // of a deletion stopped before
    if (status.ok() && copied && rename((folder + "/" + name).c_str(), debris.c_str()) != 0 &&
        errno != ENOENT)
        status = Status::IOError("cannot move the copy " + folder + "/" + name +
                                 " aside: " + strerror(errno));
    Step("moved aside");
    if (status.ok()) status = UnlinkFromExports(volume, volumeDir, name);
    if (status.ok() && copied) status = RemoveSnapshotItem(debris, &meter);
    if (!status.ok())
        return Failure(
            status.WithMessage("cannot delete snapshot " + EscapeSnapDiffName(name) +
                               " on volume " + volume + ": " + status.message() +
                               (listed ? std::string()
                                       : "; the snapshot is no longer listed, and what is left of "
                                         "its copy is removed when a job next opens the array")));
    return ArrayStatus::Ok();
}

ArrayStatus LocalArray::SnapDiffStart(const std::string& volumeArgument, const std::string& base,
                                      const std::string& incremental, unsigned long maxItems,
                                      const std::string& protocol, std::string& handle,
                                      bool& escapedNames, bool& emptyBatchesAllowed) {
    std::string volume, volumeDir;
    Status status = ResolveVolume(volumeArgument, volume, volumeDir);
    if (status.ok()) status = RequireSnapshot(volume, base);
    if (status.ok()) status = RequireSnapshot(volume, incremental);
    if (!status.ok()) return Failure(status);
    if (strcasecmp(protocol.c_str(), "nfs") != 0)
        return Failure(kArrayErrInvalidArgument,
                       "SnapDiff protocol [" + EscapeSnapDiffName(protocol) + "] is not supported");
    if (m_sessions.size() >= m_config.uiMaxSessions)
        return Failure(kArrayErrTooManySessions, "all " + std::to_string(m_config.uiMaxSessions) +
                                                     " SnapDiff sessions are in use");
    SnapDiffNaming naming;
    naming.bCluster = m_config.bCluster;
    naming.strVolume = volume;
    naming.strBase = base;
    naming.strIncremental = incremental;
    std::unique_ptr<SnapDiffSource> source;
    status = OpenDiffSource(volume, volumeDir, naming, maxItems, source);
    if (!status.ok()) return Failure(status);
    handle = "snapdiff-" + std::to_string(m_ullNextHandle++);
    Session& session = m_sessions[handle];
    session.diff = std::move(source);
    session.meter.reset(new ActivityMeter(LocalArrayWork::kComparing, volume, incremental));
    escapedNames = true;
    emptyBatchesAllowed = false;
    return ArrayStatus::Ok();
}

Status LocalArray::OpenDiffSource(const std::string& volume, const std::string& volumeDir,
                                  const SnapDiffNaming& naming, unsigned long maxItems,
                                  std::unique_ptr<SnapDiffSource>& source) {
    Status status;
    if (IsBtrfsSnapshot(volume, naming.strBase) && IsBtrfsSnapshot(volume, naming.strIncremental) &&
        MayDeleteBtrfsSnapshots()) {
        // Items the incremental left out are refused by the catalog
        // comparison, with the message that names them.
        CatalogReader marker;
        status = marker.Open(SnapshotFile(volume, naming.strIncremental, kBtrfsMarkerSuffix));
        if (!status.ok()) return status;
        if (marker.LeftOut().empty()) {
            std::unique_ptr<BtrfsSendSnapDiff> send(new BtrfsSendSnapDiff(naming, maxItems));
            status =
                send->Open(volumeDir + "/.snapshot/" + naming.strBase,
                           volumeDir + "/.snapshot/" + naming.strIncremental, ArrayFolders(volume));
            if (status.ok()) source = std::move(send);
            return status;
        }
    }
    std::string baseCatalog, incrementalCatalog;
    status = ComparableCatalog(volume, volumeDir, naming.strBase, baseCatalog);
    if (status.ok())
        status = ComparableCatalog(volume, volumeDir, naming.strIncremental, incrementalCatalog);
    if (!status.ok()) return status;
    std::unique_ptr<SnapDiffMerge> merge(new SnapDiffMerge(naming, maxItems));
    status = merge->Open(baseCatalog, incrementalCatalog);
    if (status.ok()) source = std::move(merge);
    return status;
}

Status LocalArray::ComparableCatalog(const std::string& volume, const std::string& volumeDir,
                                     const std::string& name, std::string& catalog) {
    catalog = CatalogPath(volume, name);
    if (!IsBtrfsSnapshot(volume, name)) return Status::OK();
    catalog = SnapshotFile(volume, name, kBtrfsCatalogSuffix);
    if (IsRegularFile(catalog)) return Status::OK();
    // Built once, under the lock, so that no deletion takes the snapshot
    // away while it is read and no debris removal takes the catalog being
    // written for a leftover.
    RootLock lock;
    Status status = lock.Acquire(m_config.strRoot, m_config.uiLockWaitSeconds);
    if (status.ok()) status = RequireSnapshot(volume, name);
    if (!status.ok() || IsRegularFile(catalog)) return status;
    CatalogReader marker;
    status = marker.Open(SnapshotFile(volume, name, kBtrfsMarkerSuffix));
    if (!status.ok()) return status;
    const std::string building = catalog + kBuildingSuffix;
    CatalogWriter writer(building, m_config.sortMemoryBytes);
    for (const CatalogLeftOut& item : marker.LeftOut()) writer.LeaveOut(item);
    std::vector<CatalogLeftOut> leftOut;
    ActivityMeter meter(LocalArrayWork::kComparing, volume, name);
    status = WalkLiveTree(
        volumeDir + "/.snapshot/" + name, ArrayFolders(volume),
        [&](LiveTreeEntry& entry, bool&) {
            Status going = meter.Tick();
            return going.ok() ? writer.Add(BtrfsSnapshotRowOf(entry)) : going;
        },
        &leftOut);
    // The empty folder a snapshot shows for a nested subvolume has a device
    // of its own, so the walk leaves it out as another file system, as the
    // creation recorded it already; each is named once.
    leftOut.erase(std::remove_if(leftOut.begin(), leftOut.end(),
                                 [&marker](const CatalogLeftOut& item) {
                                     for (const CatalogLeftOut& known : marker.LeftOut())
                                         if (known.strPath == item.strPath) return true;
                                     return false;
                                 }),
                  leftOut.end());
    LeaveOut(writer, volume, name, leftOut);
    if (status.ok()) status = writer.Finish();
    if (status.ok() && rename(building.c_str(), catalog.c_str()) != 0)
        status = Status::IOError("cannot keep catalog " + catalog + ": " + strerror(errno));
    return status;
}

ArrayStatus LocalArray::SnapDiffNext(const std::string& handle,
                                     std::vector<SnapDiffFileInfo>& batch, bool& end) {
    batch.clear();
    auto session = m_sessions.find(handle);
    if (session == m_sessions.end())
        return Failure(kArrayErrBadHandle,
                       "SnapDiff handle [" + EscapeSnapDiffName(handle) + "] is unknown or ended");
    Status status = session->second.diff->Next(batch, end);
    if (status.ok()) status = session->second.meter->Tick(batch.size());
    // A session that failed cannot go on, and one that sent its end flag is
    // over: both free their slot, since the caller will not end them.
    if (!status.ok() || end) m_sessions.erase(session);
    if (!status.ok()) {
        batch.clear();
        return Failure(status);
    }
    return ArrayStatus::Ok();
}

ArrayStatus LocalArray::SnapDiffEnd(const std::string& handle) {
    if (m_sessions.erase(handle) == 0)
        return Failure(kArrayErrBadHandle,
                       "SnapDiff handle [" + EscapeSnapDiffName(handle) + "] is unknown or ended");
    return ArrayStatus::Ok();
}
