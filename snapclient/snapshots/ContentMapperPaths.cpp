// The content mapper path map (backup path -> path the agent reads) travels
// between the client and the agent's content mapper; the snapshot map file
// follows it, because the post-backup cleanup finds the job's volumes only
// through that file.
#include "snapclient/NetAppSnapClient.h"

#include "host/FXErrorUtil.h"
#include "snapclient/ClientErrors.h"
#include "snapclient/ClientLog.h"
#include "snapclient/snapshots/SnapMapFile.h"

#include <new>

CRyError CNetAppSnapClient::AddSnapDevInfo() {
    SC_OPERATION();
    if (m_strSnapMapInfoFile.empty())
        return FXErrorUtil::ErrorWin32(SC_LOCATION, ERROR_FUNCTION_FAILED,
                                       "SnapMapInfo file not set");
    return SnapMapFile::Append(m_strSnapMapInfoFile, m_mapContentMapperPaths);
}

CRyError CNetAppSnapClient::UpdateContentMapperPaths(ContentMapperAPIPtr& contentMapper) try {
    SC_OPERATION();
    if (!m_mapContentMapperPaths.empty()) {
        if (!contentMapper) {
            contentMapper.reset(new (std::nothrow) CContentMapper());
            if (!contentMapper) return FXErrorUtil::ErrorWin32(SC_LOCATION, ERROR_OUTOFMEMORY);
        }
        contentMapper->SetPathMap(m_mapContentMapperPaths);
        for (const auto& entry : m_mapContentMapperPaths)
            SC_LOG(0, "Content mapper path: %s : %s", entry.first.c_str(), entry.second.c_str());
    }
    CRyError err = AddSnapDevInfo();
    if (err.IsError()) return err.Push(SC_LOCATION);
    return CRyError::Success();
} catch (...) {
    return SC_CAUGHT();
}

CRyError CNetAppSnapClient::RepopulateContentMapperPaths(ContentMapperAPIPtr& contentMapper) try {
    SC_OPERATION();
    if (!contentMapper) {
        SC_LOG(0, "Given content mapper is not initialized!");
        return CRyError::Success();
    }
    m_bAutoMountClient = true;
    boost::shared_ptr<CContentMapper> mapper;
    CRyError castErr = AsContentMapper(contentMapper, mapper, SC_LOCATION);
    if (castErr.IsError()) return castErr;
    m_mapContentMapperPaths.clear();
    if (m_strSnapMapInfoFile.empty())
        return FXErrorUtil::ErrorWin32(SC_LOCATION, ERROR_FUNCTION_FAILED,
                                       "SnapMapInfo file not set");
    m_mapContentMapperPaths = mapper->GetPathMap();

    // The file ends up holding exactly the agent's map, written by
    // AddSnapDevInfo to the temporary file that replaces it.
    const std::string mapFile = m_strSnapMapInfoFile;
    CRyError err = SnapMapFile::Replace(mapFile, [this](const std::string& temp) {
        // The map file's name comes back on every way out, an exception
        // included: later records go to the map file, never the temporary.
        std::string other = temp;
        m_strSnapMapInfoFile.swap(other);
        struct Restore {
            std::string& a;
            std::string& b;
            ~Restore() { a.swap(b); }
        } restore{m_strSnapMapInfoFile, other};
        return AddSnapDevInfo();
    });
    if (err.IsError()) {
        // Without these records the post-backup cleanup cannot find the
        // job's volumes; the agent must hear about it.
        SC_LOG(-1,
               "Could not write the content mapper paths to the snapshot map file [%s]. Error[%s]",
               m_strSnapMapInfoFile.c_str(), err.AsString().c_str());
        return err.Push(SC_LOCATION);
    }
    return CRyError::Success();
} catch (...) {
    return SC_CAUGHT();
}
