#include "host/FXErrorUtil.h"

#include "host/FXString.h"

#include <cstdarg>
#include <cstdio>

namespace {
int32_t Win32Status(uint32_t code) { return static_cast<int32_t>(0x80070000u | (code & 0xFFFFu)); }
}  // namespace

CRyError FXErrorUtil::ErrorWin32(const FXCodeLocation& where, uint32_t code) {
    return CRyError(Win32Status(code), CRyError::kWin32, code, where, std::string());
}

CRyError FXErrorUtil::ErrorWin32(const FXCodeLocation& where, uint32_t code, const char* format,
                                 ...) {
    va_list args;
    va_start(args, format);
    std::string message = FXString::FormatV(format, args);
    va_end(args);
    return CRyError(Win32Status(code), CRyError::kWin32, code, where, message);
}

CRyError FXErrorUtil::ErrorEventMessage(const FXCodeLocation& where, uint32_t eventId) {
    return CRyError(static_cast<int32_t>(0x80000000u | eventId), CRyError::kEvent, eventId, where,
                    std::string());
}
