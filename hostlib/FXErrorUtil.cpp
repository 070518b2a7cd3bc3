#include "host/FXErrorUtil.h"

#include <cstdarg>
#include <cstdio>

namespace {
int32_t Win32Status(uint32_t code) {
    return static_cast<int32_t>(0x80070000u | (code & 0xFFFFu));
}
}  // namespace

CRyError FXErrorUtil::ErrorWin32(const FXCodeLocation& where, uint32_t code) {
    return CRyError(Win32Status(code), CRyError::kWin32, code, where, std::string());
}

CRyError FXErrorUtil::ErrorWin32(const FXCodeLocation& where, uint32_t code, const char* format,
                                 ...) {
    va_list args, copy;
    va_start(args, format);
    va_copy(copy, args);
    int n = vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string message;
    if (n > 0) {
        message.resize(static_cast<size_t>(n) + 1);
        vsnprintf(&message[0], message.size(), format, args);
        message.resize(static_cast<size_t>(n));
    }
    va_end(args);
    return CRyError(Win32Status(code), CRyError::kWin32, code, where, message);
}

CRyError FXErrorUtil::ErrorEventMessage(const FXCodeLocation& where, uint32_t eventId) {
    return CRyError(static_cast<int32_t>(0x80000000u | eventId), CRyError::kEvent, eventId, where,
                    std::string());
}
