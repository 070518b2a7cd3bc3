#include "host/FXFile.h"

#include "host/FXErrorUtil.h"

#include <cerrno>
#include <cstring>

CRyError FXFile::vkfopen(FILE*& file, const std::string& path, const char* mode) {
    file = fopen(path.c_str(), mode);
    if (file) return CRyError::Success();
    int err = errno;
    return FXErrorUtil::ErrorWin32(FX_LOCATION, ERROR_FUNCTION_FAILED,
                                   "Cannot open [%s] with mode [%s]: %s", path.c_str(), mode,
                                   strerror(err));
}
