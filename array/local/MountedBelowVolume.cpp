#include "array/local/MountedBelowVolume.h"

#include "array/local/BtrfsSubvolume.h"

#include <btrfsutil.h>
#include <charconv>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

using hostlib::Status;

namespace {

// A mount point field of the mount table: space, tab, newline and backslash
// come as three-digit octal escapes; a backslash before anything else stays.
std::string Unescaped(const std::string& field) {
    std::string out;
    for (size_t i = 0; i < field.size(); ++i) {
        unsigned byte = 0;
        const char* const digits = field.data() + i + 1;
        if (field[i] == '\\' && i + 3 < field.size() &&
            std::from_chars(digits, digits + 3, byte, 8).ptr == digits + 3 && byte <= 0xFF) {
            out += char(byte);
            i += 3;
        } else {
            out += field[i];
        }
    }
    return out;
}

// path below dir: the part after "dir/", empty when it is not below.
std::string Below(const std::string& path, const std::string& dir) {
    if (path.size() <= dir.size() + 1 || path.compare(0, dir.size(), dir) != 0 ||
        path[dir.size()] != '/')
        return std::string();
    return path.substr(dir.size() + 1);
}

// In an array .snapshot folder: the array's view of its snapshots.
bool InArrayFolder(const std::string& item, const std::set<std::string>& arrayFolders) {
    for (const std::string& folder : arrayFolders) {
        const std::string snapshots = folder.empty() ? ".snapshot" : folder + "/.snapshot";
        if (item == snapshots || !Below(item, snapshots).empty()) return true;
    }
    return false;
}

Status AddMounts(const std::string& volumeDir, std::set<std::string>& items) {
    const char kTable[] = "/proc/self/mountinfo";
    std::ifstream table(kTable);
    if (!table)
        return Status::IOError(std::string("cannot read ") + kTable + ": " + strerror(errno));
    // Fields: mount id, parent id, major:minor, root, mount point, ...
    for (std::string line; std::getline(table, line);) {
        std::istringstream fields(line);
        std::string id, parent, device, root, point;
        if (!(fields >> id >> parent >> device >> root >> point)) continue;
        const std::string item = Below(Unescaped(point), volumeDir);
        if (!item.empty()) items.insert(item);
    }
    return Status::OK();
}

// The root of the subvolume that holds path (a plain folder's nearest
// subvolume above it).
std::string SubvolumeHolding(std::string path) {
    while (path.size() > 1 && !IsBtrfsSubvolume(path)) {
        const size_t slash = path.rfind('/');
        path.erase(slash == 0 ? 1 : slash);
    }
    return path;
}

// Subvolumes nested below the volume; one the process may not reach is
// not listed, as the walk does not reach it either.
void AddNestedSubvolumes(const std::string& volumeDir, std::set<std::string>& items) {
    if (!IsOnBtrfs(volumeDir)) return;
    const std::string top = SubvolumeHolding(volumeDir);
    btrfs_util_subvolume_iterator* iterator = nullptr;
    if (btrfs_util_create_subvolume_iterator(top.c_str(), 0, 0, &iterator) != BTRFS_UTIL_OK) return;
    char* path = nullptr;
    while (btrfs_util_subvolume_iterator_next(iterator, &path, nullptr) == BTRFS_UTIL_OK) {
        const std::string full = top == "/" ? "/" + std::string(path) : top + "/" + path;
        free(path);
        const std::string item = Below(full, volumeDir);
        if (!item.empty()) items.insert(item);
    }
    btrfs_util_destroy_subvolume_iterator(iterator);
}

}  // namespace

Status FindMountedBelowVolume(const std::string& volumeDir,
                              const std::set<std::string>& arrayFolders,
                              std::vector<std::string>& items) {
    items.clear();
    char resolved[PATH_MAX];
    if (!realpath(volumeDir.c_str(), resolved))
        return Status::IOError("cannot resolve " + volumeDir + ": " + strerror(errno));
    std::set<std::string> found;
    Status status = AddMounts(resolved, found);
    if (!status.ok()) return status;
    AddNestedSubvolumes(resolved, found);
    // A mount below another mount is inside what is left out already.
    for (const std::string& item : found) {
        bool inside = InArrayFolder(item, arrayFolders);
        for (const std::string& outer : items) inside = inside || !Below(item, outer).empty();
        if (!inside) items.push_back(item);
    }
    return Status::OK();
}
