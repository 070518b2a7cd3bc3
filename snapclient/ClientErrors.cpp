#include "snapclient/ClientErrors.h"

#include "host/FXErrorUtil.h"

#include <boost/pointer_cast.hpp>

CRyError AsContentMapper(const ContentMapperAPIPtr& given,
                         boost::shared_ptr<CContentMapper>& mapper, const FXCodeLocation& where) {
    mapper = boost::dynamic_pointer_cast<CContentMapper>(given);
    if (!mapper)
        return FXErrorUtil::ErrorWin32(where, ERROR_BAD_ARGUMENTS,
                                       "Dynamic cast failed for ContentMapper");
    return CRyError::Success();
}

CRyError ArrayUnreachable(const FXCodeLocation& where, const std::string& arrayName) {
    return FXErrorUtil::ErrorWin32(
        where, ERROR_FUNCTION_FAILED,
        "Unable to connect to array:[%s]. Please check connectivity to the array and check "
        "the array management settings.",
        arrayName.c_str());
}

CRyError NoArray(const FXCodeLocation& where, const char* message) {
    return FXErrorUtil::ErrorWin32(where, ERROR_INTERNAL_ERROR, "%s", message);
}
