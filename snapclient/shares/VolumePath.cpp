#include "snapclient/shares/VolumePath.h"

#include <algorithm>

bool ParseVolumePath(std::string_view path, VolumePathParts& parts) {
    constexpr std::string_view kVolumeDirectory = "/vol/";
    if (path.substr(0, kVolumeDirectory.size()) != kVolumeDirectory) return false;
    path.remove_prefix(kVolumeDirectory.size());
    const size_t slash = path.find('/');
    parts.volume = path.substr(0, slash);
    if (parts.volume.empty()) return false;
    parts.inVolume = path.substr(std::min(slash, path.size()));
    // A trailing "/" names the same directory, but left in place it would
    // glue the backup path to the next component (/mnt/s + f).
    while (!parts.inVolume.empty() && parts.inVolume.back() == '/') parts.inVolume.remove_suffix(1);
    return true;
}
