// What a volume's snapshots cannot keep because it lives on another file
// system mounted below the volume folder: a mount or bind mount (from the
// system's mount table) and, on btrfs, a subvolume nested in the volume.
// The snapshot walk leaves each out as it meets it; this names them without
// walking the volume, so that `snapagent check` can say so before a job.
// The array's own .snapshot folders (and the snapshots they hold) are not
// data and are never named.
#pragma once

#include "hostlib/Status.h"

#include <set>
#include <string>
#include <vector>

// items: paths relative to volumeDir, sorted, each once. arrayFolders: the
// folders (relative to the volume, "" for its root) whose .snapshot is the
// array's. Fails, naming the path, when the mount table cannot be read.
hostlib::Status FindMountedBelowVolume(const std::string& volumeDir,
                                       const std::set<std::string>& arrayFolders,
                                       std::vector<std::string>& items);
