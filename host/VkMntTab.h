// The proxy's mount table. getAll reads /proc/self/mounts with getmntent_r,
// or the file named by the config key [host] mount_table, in table order.
#pragma once

#include "host/CRyError.h"

#include <list>
#include <string>

class VkMntTab {
public:
    struct Entry {
        std::string strSource;     // mounted source, e.g. filer1:/vol/projects
        std::string strDirectory;  // mount directory, e.g. /mnt/projects
        std::string strType;
        std::string strOptions;
    };
    // Appends every entry; an error (1627, naming the file) when the table
    // cannot be opened.
    static CRyError getAll(std::list<Entry>& entries);
};
