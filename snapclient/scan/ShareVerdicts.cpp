#include "snapclient/scan/ShareVerdicts.h"

#include "host/FXErrorUtil.h"
#include "snapclient/ClientLog.h"

void ShareVerdicts::MarkChangeUndeliverable(const std::string& backupPath, const std::string& name,
                                            const std::string& why) {
    MarkUndeliverable(backupPath, [&] {
        return FXErrorUtil::ErrorWin32(SC_LOCATION, ERROR_OPERATION_ABORTED,
                                       "SnapDiff change [%s] of share [%s] cannot be delivered: %s",
                                       name.c_str(), backupPath.c_str(), why.c_str());
    });
}

void ShareVerdicts::StartRun(const std::list<FileServerExportInfo>& shares) {
    for (const FileServerExportInfo& served : shares) m_causes.erase(served.strBackupPath);
}
