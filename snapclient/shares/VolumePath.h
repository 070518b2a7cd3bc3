// A volume path as the array reports it for an export: "/vol/", the
// volume's name, then the share's directory inside the volume. Share
// resolution takes the volume's name from it, the scan the in-volume path
// that begins every SnapDiff change of the share; both read it here so that
// they agree on which paths name a volume at all.
#pragma once

#include <string_view>

struct VolumePathParts {
    std::string_view volume;    // never empty
    std::string_view inVolume;  // "" (the whole volume) or "/...", no trailing "/"
};

// False for a path of another shape: one that does not begin with "/vol/"
// followed by a volume name ("/vol/", "/vol//a", "/volx/a", "vol/a").
bool ParseVolumePath(std::string_view path, VolumePathParts& parts);
