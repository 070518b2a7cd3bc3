// Management of a NetApp array running ONTAP, as the client sees it: set up
// for an array by NASSnapUtil::SetONTAPObject. Calls return true on success;
// after a failed call GetLastError gives the array's code and message.
// Without an array set up every call fails. One thread at a time.
#pragma once

#include "records/SnapRecords.h"

#include <boost/shared_ptr.hpp>
#include <cstdint>
#include <string>
#include <vector>

class ArrayBackend;

struct MoErrCode_t {
    std::string strMessage;
    uint32_t uiCode = 0;
    void set(uint32_t code, const std::string& message) {
        uiCode = code;
        strMessage = message;
    }
};

enum montapConnectType : int {
    MONTAP_CONNECT_DEFAULT = 0,
    MONTAP_CONNECT_HTTP = 1,
};

class ManageONTAP {
public:
    ManageONTAP();
    ~ManageONTAP();

    bool OpenConnection();
    bool IsCluster();
    bool IsClusterInterface();
    bool GetFileServerVersion(unsigned& major, unsigned& minor, unsigned& third, bool refresh);
    bool GetActualStoragePathForNfsExport(const std::string& exportPath, std::string& volumePath);
    bool GetSnapShotList(std::vector<SnapShotInfo_t>& snapshots, std::string volume, long flags,
                         std::string prefix);
    bool CreateOntapSnap(const std::string& volume, const std::string& name);
    bool DeleteOntapSnap(const std::string& volume, const std::string& name, bool* busy);
    bool SnapDiffStart(const std::string& volume, const std::string& base,
                       const std::string& incremental, unsigned long maxItems, std::string protocol,
                       std::string& handle, bool& escapedNames, bool& emptyBatchesAllowed);
    bool SnapDiffNext(const std::string& handle, std::vector<SnapDiffFileInfo>& batch, bool& end);
    bool SnapDiffEnd(const std::string& handle);

    unsigned GetLastError();
    unsigned GetLastError(std::string& message);
    void GetLastError(MoErrCode_t& error);

private:
    // Our host answers through an array back end, which its set-up attaches.
    friend void AttachArrayBackend(ManageONTAP& ontap,
                                   const boost::shared_ptr<ArrayBackend>& backend);
    bool Record(bool ok, uint32_t code, const std::string& message);

    boost::shared_ptr<ArrayBackend> m_pBackend;
    MoErrCode_t m_stLastError;
};
