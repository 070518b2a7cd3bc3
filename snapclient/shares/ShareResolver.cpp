#include "snapclient/shares/ShareResolver.h"

#include "host/FXErrorUtil.h"
#include "host/FXPath.h"
#include "host/FileShareAutoMount.h"
#include "snapclient/ClientLog.h"
#include "snapclient/shares/VolumePath.h"

namespace {
const char* const kSnapshotDirectoryMarkers[] = {"/~snapshot/", "/.snapshot/", "/~SNAPSHT/"};

// Splits "interface:/export" at its first ":"; a source without ":" is both.
void SplitMountFormat(const std::string& mountFormat, std::string& interface,
                      std::string& exportPath) {
    const size_t colon = mountFormat.find(':');
    if (colon == std::string::npos) {
        interface = mountFormat;
        exportPath = mountFormat;
        return;
    }
    interface = mountFormat.substr(0, colon);
    exportPath = mountFormat.substr(colon + 1);
}
}  // namespace

bool IsSnapshotDirectoryPath(const std::string& path) {
    for (const char* marker : kSnapshotDirectoryMarkers)
        if (path.find(marker) != std::string::npos) return true;
    return false;
}

std::string ShareResolver::ExportPathOfMountFormat(const std::string& mountFormat) {
    std::string interface;
    std::string exportPath;
    SplitMountFormat(mountFormat, interface, exportPath);
    return exportPath;
}

bool ShareResolver::FindMountedExport(const std::list<VkMntTab::Entry>& mounts,
                                      const std::string& backupPath, ShareLocation& location) {
    for (const VkMntTab::Entry& mount : mounts) {
        // A share under the root mount is the proxy's own disk, not the array.
        if (mount.strDirectory == "/") continue;
        if (!FXPath::IsDescendantOf(backupPath, mount.strDirectory, true)) continue;
        location.strMountFormat = mount.strSource;
        SplitMountFormat(mount.strSource, location.strInterface, location.strExportPath);
        if (FXPath::IsDescendantOf(backupPath, mount.strDirectory, false)) {
            std::string below = backupPath;
            FXPath::RemovePathFromFileName(below, mount.strDirectory);
            FXPath::Append(location.strExportPath, below, 0);
        }
        return true;
    }
    return false;
}

bool ShareResolver::FindAutoMountExport(const std::string& backupPath, ShareLocation& location) {
    bool failed = false;
    CRyError err = FileShareAutoMount::convertScanToMountFormat(backupPath, location.strMountFormat,
                                                                location.strInterface, failed);
    if (err.IsError() || failed) return false;
    location.strExportPath = ExportPathOfMountFormat(location.strMountFormat);
    return true;
}

bool ShareResolver::LocateVolume(ShareLocation& location) {
    if (!m_array.GetActualStoragePathForNfsExport(location.strExportPath, location.strVolumePath))
        return false;
    // A volume path of another shape names no volume; the share is still
    // backed up (read live if its snapshot cannot be made), so its volume
    // name is left empty instead of failing.
    VolumePathParts parts;
    location.strVolume.clear();
    if (ParseVolumePath(location.strVolumePath, parts)) location.strVolume = parts.volume;
    return true;
}

bool ShareResolver::ForSnapshot(const std::string& backupPath, bool autoMount,
                                const std::list<VkMntTab::Entry>& mounts, ShareLocation& location) {
    if (autoMount) {
        if (!FindAutoMountExport(backupPath, location)) {
            SC_LOG(-1, "Couldn't get export path [%s]", backupPath.c_str());
            return false;
        }
        SC_LOG(0, "Auto-mount client: strInterface[%s] strMountFormat[%s] strExportPath[%s]",
               location.strInterface.c_str(), location.strMountFormat.c_str(),
               location.strExportPath.c_str());
    } else {
        if (!FindMountedExport(mounts, backupPath, location)) {
            SC_LOG(-1,
                   "Scan Content [%s] is not mounted on this proxy machine, skipping from "
                   "snapshot creation.",
                   backupPath.c_str());
            return false;
        }
        SC_LOG(0, "Non auto-mount client: strInterface[%s] strMountFormat[%s] strExportPath[%s]",
               location.strInterface.c_str(), location.strMountFormat.c_str(),
               location.strExportPath.c_str());
    }
    if (!LocateVolume(location)) {
        SC_LOG(-1,
               "Could not find volume information for backup path[%s], export path [%s], "
               "continue",
               backupPath.c_str(), location.strExportPath.c_str());
        return false;
    }
    SC_LOG(0, "Backup Path[%s], Export Path[%s], Volume[%s], VolumePath[%s].", backupPath.c_str(),
           location.strExportPath.c_str(), location.strVolume.c_str(),
           location.strVolumePath.c_str());
    return true;
}

std::string ShareResolver::VolumeKey(const std::string& volumePath, const std::string& volume) {
    return m_array.IsCluster() ? volumePath : volume;
}

bool ShareResolver::Resolves(const std::string& backupPath, bool autoMount) {
    ShareLocation location;
    if (autoMount) {
        if (!FindAutoMountExport(backupPath, location)) return false;
    } else {
        std::list<VkMntTab::Entry> mounts;
        if (VkMntTab::getAll(mounts).IsError() || !FindMountedExport(mounts, backupPath, location))
            return false;
    }
    return LocateVolume(location);
}

bool ShareResolver::ForCleanup(const std::string& backupPath, bool autoMount,
                               ShareLocation& location, CRyError& stop,
                               const FXCodeLocation& where) {
    if (autoMount) {
        if (!FindAutoMountExport(backupPath, location)) {
            SC_LOG_ALWAYS(-1, "Couldn't get export path [%s], for snapshot cleanup",
                          backupPath.c_str());
            return false;
        }
        SC_LOG(0,
               "Snap Clean-up: Auto-mount client: strInterface[%s] strMountFormat[%s] "
               "strExportPath[%s]",
               location.strInterface.c_str(), location.strMountFormat.c_str(),
               location.strExportPath.c_str());
    } else {
        // Mounts may come and go while a long backup runs: read the table
        // again for every path.
        std::list<VkMntTab::Entry> mounts;
        stop = VkMntTab::getAll(mounts);
        if (stop.IsError()) {
            stop.Push(where);
            return false;
        }
        const bool mounted = FindMountedExport(mounts, backupPath, location);
        SC_LOG(0,
               "Snap Clean-up: Non auto-mount client: strInterface[%s] strMountFormat[%s] "
               "strExportPath[%s]",
               location.strInterface.c_str(), location.strMountFormat.c_str(),
               location.strExportPath.c_str());
        if (!mounted) {
            stop = FXErrorUtil::ErrorWin32(where, ERROR_FUNCTION_FAILED,
                                           "Scan Content [%s] is not mounted", backupPath.c_str());
            return false;
        }
    }
    if (!LocateVolume(location)) {
        SC_LOG(-1,
               "Couldn't find path information for [%s] on the server. Skipping snapshot cleanup "
               "for backup path [%s].",
               location.strExportPath.c_str(), backupPath.c_str());
        return false;
    }
    return true;
}
