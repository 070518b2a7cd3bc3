#include "host/FileShareAutoMount.h"

#include "host/FXErrorUtil.h"
#include "host/FXPath.h"
#include "host/VKPlatformInfo.h"
#include "hostlib/IniFile.h"

namespace {
const char kAutoMountSection[] = "automount";

// Length of a prefix as a path, so that "/mnt/a/" and "/mnt/a" weigh alike.
size_t ComponentLength(std::string prefix) {
    FXPath::RemoveTrailingDelimiter(prefix);
    return prefix.size();
}
}  // namespace

CRyError FileShareAutoMount::convertScanToMountFormat(const std::string& backupPath,
                                                      std::string& mountFormat,
                                                      std::string& interface, bool& failed) {
    IniFile config;
    config.Load(VKPlatformInfo::ConfigPath());

    const std::pair<std::string, std::string>* best = nullptr;
    const auto entries = config.Entries(kAutoMountSection);
    for (const auto& entry : entries) {
        if (!FXPath::IsDescendantOf(backupPath, entry.first, true)) continue;
        if (!best || ComponentLength(entry.first) > ComponentLength(best->first)) best = &entry;
    }
    if (!best) {
        failed = true;
        return CRyError::Success();
    }

    const std::string& source = best->second;
    const size_t colon = source.find(':');
    if (colon == std::string::npos || colon == 0)
        return FXErrorUtil::ErrorWin32(
            FX_LOCATION, ERROR_FUNCTION_FAILED,
            "Auto-mount source [%s] of [%s] is not of the form interface:/export", source.c_str(),
            best->first.c_str());

    std::string exportPath = source.substr(colon + 1);
    if (FXPath::IsDescendantOf(backupPath, best->first, false)) {
        // An export names a directory without a trailing delimiter, whatever
        // the agent put at the end of the backup path.
        std::string below = backupPath;
        FXPath::RemovePathFromFileName(below, best->first);
        FXPath::RemoveTrailingDelimiter(below);
        CRyError err = FXPath::Append(exportPath, below, 0);
        if (err.IsError()) return err.Push(FX_LOCATION);
    }
    interface = source.substr(0, colon);
    mountFormat = interface + ":" + exportPath;
    return CRyError::Success();
}
