// The agent's auto-mount facility: maps a backup path to the source it is
// mounted from. Our host reads the map from the config section [automount]:
// each key is a backup path prefix, each value a mount format
// "interface:/export". A backup path below a prefix gets the part below it
// appended to the export. The longest matching prefix wins.
#pragma once

#include "host/CRyError.h"

#include <string>

class FileShareAutoMount {
public:
    // On success mountFormat and interface are set; failed is set to true
    // when the path cannot be resolved (no prefix covers it).
    static CRyError convertScanToMountFormat(const std::string& backupPath,
                                             std::string& mountFormat, std::string& interface,
                                             bool& failed);
};
