#include "host/JobInfo.h"

#include "host/FXErrorUtil.h"
#include "host/VKPlatformInfo.h"

namespace {
// ONTAP 9.2 answers SnapDiff batches of this size without strain; older
// releases keep the caller's smaller default.
const int kOntap92SnapDiffMax = 1024;
}  // namespace

CRyError CJobInfoIndexNasFs::DetermineSnapDiffMax(bool ontap92OrLater, VKAppType, uint64_t,
                                                  uint64_t, int& maxItems) {
    std::string configured;
    if (VKPlatformInfo::getRegString("snapdiff", "max_items", &configured)) {
        int value = 0;
        if (!VKPlatformInfo::parseRegInt(configured, &value) || value <= 0)
            return FXErrorUtil::ErrorWin32(FX_LOCATION, ERROR_FUNCTION_FAILED,
                                           "[snapdiff] max_items [%s] is not a positive integer",
                                           configured.c_str());
        maxItems = value;
        return CRyError::Success();
    }
    if (ontap92OrLater) maxItems = kOntap92SnapDiffMax;
    return CRyError::Success();
}
