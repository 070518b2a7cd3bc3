#include "tools/TreeListing.h"

#include "tools/FileOps.h"

#include <dirent.h>
#include <sys/stat.h>
#include <cerrno>
#include <cstring>
#include <vector>

using hostlib::Status;

namespace snapagent {
namespace {

const char kSnapshotDirectory[] = ".snapshot";

EntryType TypeOf(mode_t mode) {
    if (S_ISDIR(mode)) return EntryType::kDirectory;
    if (S_ISREG(mode)) return EntryType::kFile;
    if (S_ISLNK(mode)) return EntryType::kSymlink;
    return EntryType::kOther;
}

std::string Join(const std::string& relative, const char* name) {
    return relative.empty() ? std::string(name) : relative + "/" + name;
}

// Reads one directory's names; failed when it cannot be read. The listed
// root's ".snapshot" is the array's view of its snapshots; a ".snapshot"
// deeper down is the share's own data and is listed.
Status ReadNames(const std::string& path, bool atRoot, std::vector<std::string>& names) {
    DIR* dir = opendir(path.c_str());
    if (!dir) return ErrnoFailure("cannot open directory", path);
    errno = 0;
    while (struct dirent* d = readdir(dir)) {
        if (strcmp(d->d_name, ".") == 0 || strcmp(d->d_name, "..") == 0) continue;
        if (atRoot && strcmp(d->d_name, kSnapshotDirectory) == 0) continue;
        names.emplace_back(d->d_name);
        errno = 0;
    }
    const int readError = errno;
    closedir(dir);
    return readError == 0 ? Status::OK() : ErrnoFailure("cannot read directory", path, readError);
}

}  // namespace

Status ListTree(const std::string& root, TreeListing& listing) {
    listing.clear();
    // Depth-first with an explicit stack: deep trees must not exhaust the
    // harness's own stack.
    std::vector<std::string> pending{std::string()};
    while (!pending.empty()) {
        const std::string relative = pending.back();
        pending.pop_back();
        const std::string directory = relative.empty() ? root : root + "/" + relative;
        std::vector<std::string> names;
        if (Status read = ReadNames(directory, relative.empty(), names); !read.ok()) return read;
        for (const std::string& name : names) {
            const std::string child = Join(relative, name.c_str());
            struct stat st;
            if (lstat((root + "/" + child).c_str(), &st) != 0)
                return ErrnoFailure("cannot lstat", root + "/" + child);
            TreeEntry entry;
            entry.ullInode = st.st_ino;
            entry.type = TypeOf(st.st_mode);
            entry.ullSize = static_cast<uint64_t>(st.st_size);
            entry.llMtimeNs =
                static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
            entry.ullLinks = st.st_nlink;
            listing[child] = entry;
            if (entry.type == EntryType::kDirectory) pending.push_back(child);
        }
    }
    return Status::OK();
}

uint64_t CountEntries(const std::string& root, bool (*stop)()) {
    uint64_t count = 0;
    std::vector<std::string> folders{root};
    while (!folders.empty() && !stop()) {
        const std::string folder = folders.back();
        folders.pop_back();
        DIR* dir = opendir(folder.c_str());
        if (!dir) continue;
        while (const struct dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name == "." || name == ".." || (folder == root && name == kSnapshotDirectory))
                continue;
            ++count;
            const std::string path = folder + "/" + name;
            struct stat st;
            if (entry->d_type == DT_DIR || (entry->d_type == DT_UNKNOWN &&
                                            lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)))
                folders.push_back(path);
        }
        closedir(dir);
    }
    return count;
}

bool IsAtOrBelow(const std::string& path, const std::string& dir) {
    if (dir.empty()) return true;
    if (path.size() < dir.size() || path.compare(0, dir.size(), dir) != 0) return false;
    return path.size() == dir.size() || path[dir.size()] == '/';
}

std::string CompareTreeShape(const TreeListing& expected, const TreeListing& actual) {
    const size_t kShown = 5;
    std::string text;
    size_t differences = 0;
    auto note = [&](const std::string& what) {
        if (differences++ < kShown) text += (text.empty() ? "" : "; ") + what;
    };
    for (const auto& e : expected) {
        auto a = actual.find(e.first);
        if (a == actual.end()) {
            note("[" + e.first + "] missing");
        } else if (a->second.type != e.second.type) {
            note("[" + e.first + "] has another type");
        } else if (e.second.type == EntryType::kFile && a->second.ullSize != e.second.ullSize) {
            note("[" + e.first + "] has another size");
        }
    }
    for (const auto& a : actual)
        if (!expected.count(a.first)) note("[" + a.first + "] not expected");
    if (differences > kShown) text += "; and " + std::to_string(differences - kShown) + " more";
    return text;
}

}  // namespace snapagent
