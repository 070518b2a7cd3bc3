// Which kind of snapshot a local-array volume gets, from [array] snapshots:
//   auto  (default) a read-only btrfs snapshot where the volume folder is a
//         btrfs subvolume, a copy elsewhere
//   btrfs always a btrfs snapshot; a volume that cannot have one is an
//         error naming the fix, rather than a silent and costly copy
//   copy  always a copy (LocalArraySnapshotCopy.h)
// A volume whose .snapshot folder is a plain folder still holding copies
// gets copies under auto, and is an error under btrfs: a btrfs snapshot
// would hold those copies whole. Once retention has deleted them, the
// folder becomes a subvolume and the volume gets btrfs snapshots.
#pragma once

#include "hostlib/Status.h"

#include <string>

enum class SnapshotsSetting { kAuto, kBtrfs, kCopy };
enum class SnapshotKind { kCopy, kBtrfs };

// False for anything but auto, btrfs and copy.
bool ParseSnapshotsSetting(const std::string& text, SnapshotsSetting& setting);

// The kind of the volume's next snapshot; fails with
// Status::kInvalidArgument when the setting asks for btrfs where the volume
// cannot have it.
hostlib::Status ChooseSnapshotKind(SnapshotsSetting setting, const std::string& volumeDir,
                                   SnapshotKind& kind);

// One line for `snapagent check`: the kind the volume gets and why, and for
// a plain folder on btrfs the commands that make it a subvolume.
std::string DescribeSnapshotKind(SnapshotsSetting setting, const std::string& volumeDir);
