// The snap client of job 812 (client 1, application 7/15, array filer1) as
// the agent sees it during an incremental job, with its results folder,
// array connection, path map and shares set directly, and a share between
// the two snapshots its scan compares. No test framework: the fuzz targets
// use it too.
#pragma once

#include "array/AttachArrayBackend.h"
#include "snapclient/NetAppSnapClient.h"

#include <boost/make_shared.hpp>

namespace scantest {

const char kPrevSnap[] = "VKOP_1_15_811";
const char kCurrSnap[] = "VKOP_1_15_812";

class ScanClient : public CNetAppSnapClient {
public:
    explicit ScanClient(const std::string& jobResultsDir) {
        m_strJobResultsDir = jobResultsDir;
        m_strSnapMapInfoFile = jobResultsDir + "/nativeSnapMapInfo.vkf";
        m_llJobId = 812;
        m_ulClientId = 1;
        m_ulAppId1 = 7;
        m_ulAppId2 = 15;
        m_stArrayInfo.strArrayName = "filer1";
    }
    // The connection goes to the given back end, which the caller keeps alive.
    void UseArray(ArrayBackend& backend) {
        m_pManageOntap = boost::make_shared<ManageONTAP>();
        AttachArrayBackend(*m_pManageOntap,
                           boost::shared_ptr<ArrayBackend>(boost::shared_ptr<void>(), &backend));
    }
    using CNetAppSnapClient::m_mapContentMapperPaths;
    std::list<FileServerExportInfo>& Shares() { return m_lstExportInfo; }
};

inline FileServerExportInfo Share(const std::string& backupPath, const std::string& volumePath,
                                  const std::string& volume, bool enabled = true) {
    FileServerExportInfo share;
    share.strBackupPath = backupPath;
    share.strVolumePath = volumePath;
    share.strVolume = volume;
    share.strPrevSnapName = kPrevSnap;
    share.strCurrSnapName = kCurrSnap;
    share.bSnapDiffEnabled = enabled;
    return share;
}

}  // namespace scantest
