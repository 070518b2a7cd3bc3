// The btrfs calls of the local array: a volume folder that is a btrfs
// subvolume gets real read-only snapshots, each one call of libbtrfsutil,
// so their cost does not grow with the volume's files.
//
// Making a subvolume or a read-only snapshot needs write permission on the
// folder that receives it (a snapshot of a subvolume the process owns, or
// root). Deleting a read-only snapshot needs CAP_SYS_ADMIN: a user may
// delete only writable subvolumes, and only on a file system mounted with
// user_subvol_rm_allowed, so the array asks for root and never turns a
// snapshot writable to get rid of it. None of these follows a symbolic
// link in the last component, and all fail with a message naming the path.
#pragma once

#include "hostlib/Status.h"

#include <string>

// The folder is on a btrfs file system.
bool IsOnBtrfs(const std::string& path);
// The folder is the root of a btrfs subvolume (a snapshot is one too).
bool IsBtrfsSubvolume(const std::string& path);
// The process may delete read-only snapshots (it holds CAP_SYS_ADMIN).
bool MayDeleteBtrfsSnapshots();

hostlib::Status MakeBtrfsSubvolume(const std::string& path);
// A read-only snapshot of subvolume source at target, which must not exist.
// Subvolumes nested below source show in it as empty folders.
hostlib::Status MakeReadOnlyBtrfsSnapshot(const std::string& source, const std::string& target);
// withNested also deletes the subvolumes below path (the snapshots in a
// volume's .snapshot folder), as removing a whole array does.
hostlib::Status DeleteBtrfsSubvolume(const std::string& path, bool withNested = false);
