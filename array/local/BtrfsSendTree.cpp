#include "array/local/BtrfsSendTree.h"

#include <sys/stat.h>
#include <cerrno>
#include <cstring>

using hostlib::Status;

using namespace btrfssend;

namespace {

Status Lost(const std::string& what) {
    return Status::IOError("cannot follow the file system's comparison of the snapshots: " + what +
                           "; the volume's shares need a full scan");
}

bool WritesContents(uint16_t type) {
    return type == kWrite || type == kClone || type == kTruncate || type == kUpdateExtent ||
           type == kFallocate || type == kEncodedWrite;
}

bool MakesInode(uint16_t type) { return type >= kMakeFile && type <= kSymlink; }

}  // namespace

BtrfsSendTree::BtrfsSendTree(const std::string& baseDir) : m_baseDir(baseDir) {
    m_basePaths[kRootInode] = std::string();
}

const std::map<std::string, uint64_t>* BtrfsSendTree::TouchedNames(uint64_t directory) const {
    auto found = m_entries.find(directory);
    return found == m_entries.end() ? nullptr : &found->second;
}

Status BtrfsSendTree::Lookup(uint64_t directory, const std::string& name, uint64_t& inode) {
    inode = 0;
    auto dir = m_entries.find(directory);
    if (dir != m_entries.end()) {
        auto entry = dir->second.find(name);
        if (entry != dir->second.end()) {
            inode = entry->second;
            return Status::OK();
        }
    }
    // A folder the stream made holds only what the stream put in it.
    if (m_new.count(directory)) return Status::OK();
    auto basePath = m_basePaths.find(directory);
    if (basePath == m_basePaths.end())
        return Lost("folder inode " + std::to_string(directory) + " is in neither snapshot's view");
    std::string relative = basePath->second.empty() ? name : basePath->second + "/" + name;
    std::string full = m_baseDir + "/" + relative;
    struct stat st;
    if (lstat(full.c_str(), &st) != 0) {
        if (errno == ENOENT) return Status::OK();
        return Status::IOError("cannot stat " + full + ": " + strerror(errno));
    }
    inode = st.st_ino;
    if (S_ISDIR(st.st_mode)) m_basePaths.emplace(inode, relative);
    return Status::OK();
}

Status BtrfsSendTree::Resolve(const std::string& path, Place& place) {
    place = Place();
    place.ullInode = kRootInode;
    size_t at = 0;
    while (at <= path.size()) {
        size_t slash = path.find('/', at);
        if (slash == std::string::npos) slash = path.size();
        std::string name = path.substr(at, slash - at);
        at = slash + 1;
        if (name.empty() || name == ".") continue;
        if (name == "..") return Lost("path [" + path + "] climbs out of its folder");
        if (place.ullInode == 0)
            return Lost("path [" + path + "] runs through a name that is not there");
        place.ullParent = place.ullInode;
        place.strLeaf = name;
        Status status = Lookup(place.ullParent, name, place.ullInode);
        if (!status.ok()) return status;
    }
    return Status::OK();
}

Status BtrfsSendTree::ResolveExisting(const SendCommand& command, uint16_t attribute,
                                      Place& place) {
    if (!command.Has(attribute))
        return Lost("command " + std::to_string(command.Type()) + " names no path");
    std::string path = command.Text(attribute);
    Status status = Resolve(path, place);
    if (status.ok() && place.ullInode == 0)
        return Lost("command " + std::to_string(command.Type()) + " names [" + path +
                    "], which is not there");
    if (status.ok()) m_named.insert(place.ullInode);
    return status;
}

void BtrfsSendTree::Put(const Place& place, uint64_t inode) {
    m_entries[place.ullParent][place.strLeaf] = inode;
    if (inode) m_named.insert(inode);
}

Status BtrfsSendTree::Apply(const SendCommand& command) {
    const uint16_t type = command.Type();
    Place place, target;
    Status status;
    if (type == kSnapshot || type == kEnd) return status;
    if (type == kSubvolume)
        return Lost("the stream holds a whole snapshot, not its changes since the base one");
    if (MakesInode(type)) {
        uint64_t inode = 0;
        if (!command.U64(kInode, inode) || inode == 0)
            return Lost("a new item comes without its inode");
        status = Resolve(command.Text(kPath), place);
        if (!status.ok()) return status;
        if (place.strLeaf.empty()) return Lost("a new item takes the volume root's place");
        if (place.ullInode) m_named.insert(place.ullInode);
        m_new.insert(inode);
        Put(place, inode);
    } else if (type == kRename) {
        status = ResolveExisting(command, kPath, place);
        if (status.ok()) status = Resolve(command.Text(kPathTo), target);
        if (!status.ok()) return status;
        if (place.strLeaf.empty() || target.strLeaf.empty())
            return Lost("a rename moves the volume root");
        if (target.ullInode) m_named.insert(target.ullInode);
        Put(place, 0);
        Put(target, place.ullInode);
    } else if (type == kLink) {
        status = ResolveExisting(command, kPathLink, target);
        if (status.ok()) status = Resolve(command.Text(kPath), place);
        if (!status.ok()) return status;
        if (place.strLeaf.empty()) return Lost("a link takes the volume root's place");
        if (place.ullInode) m_named.insert(place.ullInode);
        Put(place, target.ullInode);
    } else if (type == kUnlink || type == kRemoveDir) {
        status = ResolveExisting(command, kPath, place);
        if (!status.ok()) return status;
        if (place.strLeaf.empty()) return Lost("the stream removes the volume root");
        Put(place, 0);
    } else {
        status = ResolveExisting(command, kPath, place);
        if (status.ok() && WritesContents(type)) m_written.insert(place.ullInode);
    }
    return status;
}
