// The snapshot map file "nativeSnapMapInfo.vkf" in the job results folder:
// one record "m:<backup path>:<mapped path>:" per line for every entry of
// the content mapper path map. Other readers rely on that format, so a
// backup path holding ":" is written as it is and told apart when read. It
// is the only record of the job's paths that the post-backup cleanup has,
// so a write that did not reach the disk is an error, never a silent
// success. Files of earlier jobs are read with the same format.
#pragma once

#include "host/CRyError.h"

#include <functional>
#include <map>
#include <string>
#include <vector>

class SnapMapFile {
public:
    // Appends a record for every entry of paths to file.
    static CRyError Append(const std::string& file,
                           const std::map<std::string, std::string>& paths);
    // Replaces file by what write writes to the temporary file it is given,
    // renamed over file once written whole; a failed write leaves the
    // earlier records whole, never half a file.
    static CRyError Replace(const std::string& file,
                            const std::function<CRyError(const std::string& temp)>& write);
    // Calls visit with the backup path of every record of the job's file, in
    // file order, until visit fails. A record whose backup path may hold ":"
    // gives every possible cut, the shortest first. opened is false when the
    // file could not be opened (logged; success).
    static CRyError ForEachBackupPath(
        const std::string& jobResultsDir,
        const std::function<CRyError(const std::vector<std::string>& backupPaths)>& visit,
        bool& opened);
};
