// Operations whose issues have not landed yet. Each owner removes its
// entries here when it implements them in its own file.
#include "snapclient/NetAppSnapClient.h"

#include "host/FXErrorUtil.h"

namespace {
CRyError NotImplemented(const FXCodeLocation& where) {
    return FXErrorUtil::ErrorWin32(where, ERROR_FUNCTION_FAILED, "not implemented");
}
}  // namespace

CRyError CNetAppSnapClient::ConfigureSnapshot(std::list<std::string>&, const std::list<std::string>&, const std::list<std::string>&) { return NotImplemented(FX_LOCATION); }
CRyError CNetAppSnapClient::ManageSnapshots() { return NotImplemented(FX_LOCATION); }
CRyError CNetAppSnapClient::CleanupSnapshot(const std::set<std::string>&) { return NotImplemented(FX_LOCATION); }
CRyError CNetAppSnapClient::UpdateContentMapperPaths(ContentMapperAPIPtr&) { return NotImplemented(FX_LOCATION); }
CRyError CNetAppSnapClient::CleanupSnapshotsPostBackup(bool) { return NotImplemented(FX_LOCATION); }
CRyError CNetAppSnapClient::RepopulateContentMapperPaths(ContentMapperAPIPtr&) { return NotImplemented(FX_LOCATION); }
CRyError CNetAppSnapClient::DeleteAutoMountFailedSnapshots(const std::list<std::string>&) { return NotImplemented(FX_LOCATION); }
CRyError CNetAppSnapClient::CreateSnapshot(std::list<std::string>&, const std::list<std::string>&, const std::list<std::string>&) { return NotImplemented(FX_LOCATION); }
CRyError CNetAppSnapClient::AddSnapDevInfo() { return NotImplemented(FX_LOCATION); }
bool CNetAppSnapClient::CheckIfSnapPath(const std::string&) { return false; }
CRyError CNetAppSnapClient::CleanupSnapshotByVolume(const std::map<std::string, std::set<std::string>>&) { return NotImplemented(FX_LOCATION); }
