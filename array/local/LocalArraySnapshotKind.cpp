#include "array/local/LocalArraySnapshotKind.h"

#include "array/local/BtrfsSubvolume.h"

#include <dirent.h>
#include <cstring>

using hostlib::Status;

namespace {

// A .snapshot folder that is not a subvolume and holds anything: copies
// taken before the volume became a subvolume, or their export links.
bool HoldsCopies(const std::string& volumeDir) {
    const std::string folder = volumeDir + "/.snapshot";
    if (IsBtrfsSubvolume(folder)) return false;
    DIR* stream = opendir(folder.c_str());
    if (!stream) return false;
    bool any = false;
    while (struct dirent* ent = readdir(stream))
        any = any || (strcmp(ent->d_name, ".") != 0 && strcmp(ent->d_name, "..") != 0);
    closedir(stream);
    return any;
}

// Shell commands that turn the plain folder into a subvolume holding the
// same files, to run while no job uses the volume.
std::string SubvolumeCommands(const std::string& volumeDir) {
    const std::string quoted = "'" + volumeDir + "'", old = "'" + volumeDir + ".plain'";
    return "mv " + quoted + " " + old + " && btrfs subvolume create " + quoted +
           " && cp -a --reflink=auto " + old + "/. " + quoted + " && rm -rf " + old;
}

}  // namespace

bool ParseSnapshotsSetting(const std::string& text, SnapshotsSetting& setting) {
    if (text == "auto")
        setting = SnapshotsSetting::kAuto;
    else if (text == "btrfs")
        setting = SnapshotsSetting::kBtrfs;
    else if (text == "copy")
        setting = SnapshotsSetting::kCopy;
    else
        return false;
    return true;
}

Status ChooseSnapshotKind(SnapshotsSetting setting, const std::string& volumeDir,
                          SnapshotKind& kind) {
    kind = SnapshotKind::kCopy;
    if (setting == SnapshotsSetting::kCopy) return Status::OK();
    const bool subvolume = IsBtrfsSubvolume(volumeDir);
    const bool copies = subvolume && HoldsCopies(volumeDir);
    if (subvolume && !copies) kind = SnapshotKind::kBtrfs;
    if (setting == SnapshotsSetting::kAuto || kind == SnapshotKind::kBtrfs) return Status::OK();
    if (copies)
        return Status::InvalidArgument(
            "[array] snapshots = btrfs: " + volumeDir +
            "/.snapshot still holds copy snapshots, which a btrfs snapshot would hold "
            "whole; delete them (or set snapshots = auto until retention has)");
    return Status::InvalidArgument(
        "[array] snapshots = btrfs: volume folder " + volumeDir +
        (IsOnBtrfs(volumeDir) ? " is a plain folder, not a btrfs subvolume; make it one: " +
                                    SubvolumeCommands(volumeDir)
                              : " is not on btrfs; set snapshots = auto or copy"));
}

std::string DescribeSnapshotKind(SnapshotsSetting setting, const std::string& volumeDir) {
    SnapshotKind kind;
    Status status = ChooseSnapshotKind(setting, volumeDir, kind);
    if (!status.ok()) return status.message();
    // Reading btrfs's own comparison and deleting a read-only snapshot both
    // need CAP_SYS_ADMIN: without it the diff walks both snapshots instead.
    if (kind == SnapshotKind::kBtrfs)
        return MayDeleteBtrfsSnapshots()
                   ? "btrfs snapshots (read-only, one call each); SnapDiff reads btrfs's send "
                     "stream of the two snapshots, its cost growing with the changes"
                   : "btrfs snapshots (read-only, one call each); SnapDiff compares catalogs of "
                     "the two snapshots, its cost growing with the files (the send stream "
                     "needs CAP_SYS_ADMIN); deleting them needs root, so retention fails for "
                     "this user";
    if (setting == SnapshotsSetting::kCopy) return "copies ([array] snapshots = copy)";
    if (IsBtrfsSubvolume(volumeDir))
        return "copies, until the copy snapshots in its .snapshot folder are deleted; then "
               "btrfs snapshots";
    if (IsOnBtrfs(volumeDir))
        return "copies (a plain folder on btrfs); for btrfs snapshots make it a subvolume: " +
               SubvolumeCommands(volumeDir);
    return "copies (not on btrfs)";
}
