// The client object itself: factory, job identity, snapshot naming, the
// array connection and the scan-support check.
#include "snapclient/NetAppSnapClient.h"

#include "host/FXErrorUtil.h"
#include "host/FXString.h"
#include "host/NASSnapUtil.h"
#include "snapclient/ClientErrors.h"
#include "snapclient/ClientLog.h"
#include "snapclient/shares/ShareResolver.h"

#include <new>

namespace {
const char kSnapNameBase[] = "VKOP";
}

extern "C" __attribute__((visibility("default"))) CFileServerSnapClientBase* GetSnapClient() {
    // A constructor that runs out of memory gives the agent no client, as a
    // failed allocation does.
    try {
        return new (std::nothrow) CNetAppSnapClient();
    } catch (...) {
        return nullptr;
    }
}

CNetAppSnapClient::CNetAppSnapClient()
    : m_ulClientId(0),
      m_ulAppId1(0),
      m_ulAppId2(0),
      m_llJobId(0),
      m_llReserved1(0),
      m_llReserved2(0),
      m_llReserved3(0),
      m_llPrevJobId(0),
      m_bAutoMountClient(false),
      m_errOutOfMemory(FXErrorUtil::ErrorWin32(FX_LOCATION, ERROR_OUTOFMEMORY)) {}

CNetAppSnapClient::~CNetAppSnapClient() {
    // The change event databases go before the array connection: a store may
    // still be open on the job results folder while the array is released.
    m_mapEventDBs.clear();
    m_pEventDB.reset();
}

CRyError CNetAppSnapClient::Initialize(LONGLONG jobId, ULONG clientId, ULONG appId1, ULONG appId2,
                                       const std::string& jobResultsDir,
                                       const std::string& reserved,
                                       const std::string& snapMapInfoFile, LONGLONG prevJobId,
                                       LONGLONG reserved1, LONGLONG reserved2, LONGLONG reserved3,
                                       const ContentMapperAPIPtr& contentMapper) try {
    SC_OPERATION();
    m_llJobId = jobId;
    m_ulClientId = clientId;
    m_ulAppId1 = appId1;
    m_ulAppId2 = appId2;
    m_strJobResultsDir = jobResultsDir;
    m_strReserved = reserved;
    m_strSnapMapInfoFile = snapMapInfoFile;
    m_llPrevJobId = prevJobId;
    m_llReserved1 = reserved1;
    m_llReserved2 = reserved2;
    m_llReserved3 = reserved3;
    m_strSnapNamePrefix = FXString::Format("%s_%u_%u_", kSnapNameBase, m_ulClientId, m_ulAppId2);

    CRyError err = InitArray(m_ulClientId);
    if (err.IsError()) return err.Push(SC_LOCATION);

    m_pApplicationId.reset(new (std::nothrow) ApplicationId(m_ulAppId1, m_ulAppId2));
    if (!m_pApplicationId) return FXErrorUtil::ErrorWin32(SC_LOCATION, ERROR_OUTOFMEMORY);

    if (!contentMapper) {
        m_bAutoMountClient = false;
        return CRyError::Success();
    }
    m_bAutoMountClient = true;
    boost::shared_ptr<CContentMapper> mapper;
    CRyError castErr = AsContentMapper(contentMapper, mapper, SC_LOCATION);
    if (castErr.IsError()) return castErr;
    m_mapContentMapperPaths = mapper->GetPathMap();
    return CRyError::Success();
} catch (...) {
    return SC_CAUGHT();
}

void CNetAppSnapClient::GetSnapshotName(LONGLONG jobId, std::string& name) {
    name = FXString::Format("%s%llu", m_strSnapNamePrefix.c_str(),
                            static_cast<unsigned long long>(jobId));
}

bool CNetAppSnapClient::CheckIfSnapPath(const std::string& path) {
    return IsSnapshotDirectoryPath(path);
}

CRyError CNetAppSnapClient::InitArray(ULONG clientId) try {
    SC_OPERATION();
    NASSnapUtil util;
    util.Initialize();
    const int id = static_cast<int>(clientId);
    if (!util.GetArrayNameAndCredentialsByClientId(id, m_stArrayInfo))
        return FXErrorUtil::ErrorWin32(SC_LOCATION, ERROR_FUNCTION_FAILED,
                                       "Unable to get array credentials.");
    if (!m_pManageOntap) {
        m_pManageOntap.reset(new (std::nothrow) ManageONTAP());
        if (!m_pManageOntap) return FXErrorUtil::ErrorWin32(SC_LOCATION, ERROR_OUTOFMEMORY);
    }
    const montapConnectType connectType = MONTAP_CONNECT_HTTP;
    const bool flag = false;
    util.SetONTAPObject(m_stArrayInfo, *m_pManageOntap, connectType, flag);
    if (!m_pManageOntap->OpenConnection())
        return ArrayUnreachable(SC_LOCATION, m_stArrayInfo.strArrayName);
    return CRyError::Success();
} catch (...) {
    return SC_CAUGHT();
}

CRyError CNetAppSnapClient::VerifySnapScanSupport() try {
    SC_OPERATION();
    // Without a connection there is nothing to ask; answer as every other
    // array operation does.
    if (!m_pManageOntap) return NoArray(SC_LOCATION, "ManageOntap not initialized");
    if (m_pManageOntap->IsClusterInterface())
        return FXErrorUtil::ErrorWin32(
            SC_LOCATION, ERROR_FUNCTION_FAILED,
            "Client [%s] is a cluster interface, fast scan through cluster client is not "
            "supported.",
            m_stArrayInfo.strClientName.c_str());
    return CRyError::Success();
} catch (...) {
    return SC_CAUGHT();
}
