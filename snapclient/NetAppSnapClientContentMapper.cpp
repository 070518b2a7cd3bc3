// The content mapper path map (backup path -> path the agent reads) travels
// between the client and the agent's content mapper; the snapshot map file
// follows it, because the post-backup cleanup finds the job's volumes only
// through that file.
#include "snapclient/NetAppSnapClient.h"

#include "host/FXErrorUtil.h"
#include "host/FXFile.h"
#include "snapclient/ClientLog.h"

#include <boost/pointer_cast.hpp>
#include <new>

CRyError CNetAppSnapClient::UpdateContentMapperPaths(ContentMapperAPIPtr& contentMapper) {
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
}

CRyError CNetAppSnapClient::RepopulateContentMapperPaths(ContentMapperAPIPtr& contentMapper) {
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

    // Emptied first, so that the file ends up holding exactly the agent's map.
    FILE* raw = nullptr;
    FXFile::vkfopen(raw, m_strSnapMapInfoFile, "w");
    auto_fileptr truncated(raw);
    CRyError err = AddSnapDevInfo();
    if (err.IsError()) {
        // Without these records the post-backup cleanup cannot find the
        // job's volumes; the agent must hear about it.
        SC_LOG(-1, "Could not write the content mapper paths to the snapshot map file [%s]. Error[%s]",
               m_strSnapMapInfoFile.c_str(), err.AsString().c_str());
        return err.Push(SC_LOCATION);
    }
    return CRyError::Success();
}
