// Share resolution: from the path under which the proxy sees a share to the
// array's export, the storage path of the share inside the array (volume
// path) and the volume that holds it. Snapshot creation, the auto-mount
// failure cleanup and the post-backup cleanup all build on these pieces; each
// writes its own log lines around them.
#pragma once

#include "host/CRyError.h"
#include "host/ManageONTAP.h"
#include "host/VkMntTab.h"

#include <list>
#include <string>

// The strings share resolution derives for one backup path.
struct ShareLocation {
    std::string strInterface;
    std::string strMountFormat;
    std::string strExportPath;
    std::string strVolumePath;
    std::string strVolume;
};

// True when path holds a snapshot directory ("/.snapshot/" and its kin).
bool IsSnapshotDirectoryPath(const std::string& path);

class ShareResolver {
public:
    explicit ShareResolver(ManageONTAP& array) : m_array(array) {}

    // For snapshot creation: through the auto-mount facility or the mount
    // table given; false (logged) when the share is skipped.
    bool ForSnapshot(const std::string& backupPath, bool autoMount,
                     const std::list<VkMntTab::Entry>& mounts, ShareLocation& location);
    // For the post-backup cleanup, reading the mount table again: false
    // (logged) when the path is skipped; stop then holds an error that ends
    // the cleanup (a failed mount table read, a path no longer mounted),
    // pushed with where.
    bool ForCleanup(const std::string& backupPath, bool autoMount, ShareLocation& location,
                    CRyError& stop, const FXCodeLocation& where);
    // Whether the path leads to a volume, writing no line.
    bool Resolves(const std::string& backupPath, bool autoMount);

    // The export path and volume path of location, from its export path.
    bool LocateVolume(ShareLocation& location);
    // The argument by which the array is asked about a volume.
    std::string VolumeKey(const std::string& volumePath, const std::string& volume);
    static std::string ExportPathOfMountFormat(const std::string& mountFormat);

private:
    static bool FindMountedExport(const std::list<VkMntTab::Entry>& mounts,
                                  const std::string& backupPath, ShareLocation& location);
    static bool FindAutoMountExport(const std::string& backupPath, ShareLocation& location);

    ManageONTAP& m_array;
};
