// The catalog row of one name the walk of a volume met: what a snapshot's
// catalog keeps of it, and what a SnapDiff source compares. A directory's
// size is left out (it says nothing a backup reads).
#pragma once

#include "array/local/LocalArrayCatalog.h"
#include "array/local/LocalArrayTreeWalk.h"

CatalogRow CatalogRowOf(const LiveTreeEntry& entry);

// The row of a name in a read-only btrfs snapshot. Each snapshot is a
// subvolume with a device number of its own, while its inodes are those of
// the volume it was taken of; the device is left out so that an unchanged
// file is one inode in every snapshot of the volume, told apart from a new
// file in its number by number and generation.
CatalogRow BtrfsSnapshotRowOf(const LiveTreeEntry& entry);
