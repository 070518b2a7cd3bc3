// Which shares of the job the scan cannot serve: a change of such a share,
// received by the last SnapDiff run of its volume, could not be placed or
// stored, so the share's comparison fails (995) with the first cause found
// and the agent scans it in full. A new run of the volume starts its
// shares afresh. One object per client; no locks.
#pragma once

#include "host/CRyError.h"
#include "records/SnapRecords.h"

#include <list>
#include <map>
#include <string>

class ShareVerdicts {
public:
    // Why the share's changes cannot be delivered, or null.
    const CRyError* Undeliverable(const std::string& backupPath) const {
        const auto found = m_causes.find(backupPath);
        return found == m_causes.end() ? nullptr : &found->second;
    }
    // Records the cause that cause() builds (and logs), unless the share has
    // one already: the first cause is the one reported.
    template <class Cause>
    void MarkUndeliverable(const std::string& backupPath, Cause cause) {
        if (!m_causes.count(backupPath)) m_causes.emplace(backupPath, cause());
    }
    // The change named name of the share cannot be delivered, for why.
    void MarkChangeUndeliverable(const std::string& backupPath, const std::string& name,
                                 const std::string& why);
    // A new run serves these shares: what an earlier run found goes.
    void StartRun(const std::list<FileServerExportInfo>& shares);

private:
    std::map<std::string, CRyError> m_causes;  // by backup path
};
