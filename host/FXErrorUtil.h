// Builders of CRyError values. A Win32 error has status 0x8007xxxx (the
// HRESULT form, always negative); an event error has status 0x80000000 | id.
#pragma once

#include "host/CRyError.h"

namespace FXErrorUtil {
CRyError ErrorWin32(const FXCodeLocation& where, uint32_t code);
CRyError ErrorWin32(const FXCodeLocation& where, uint32_t code, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
// An error carrying a job event id; append its string arguments in order
// with CRyError::AddArgument.
CRyError ErrorEventMessage(const FXCodeLocation& where, uint32_t eventId);
}  // namespace FXErrorUtil

// Win32 codes the client uses.
enum : uint32_t {
    ERROR_OUTOFMEMORY = 14,
    ERROR_BAD_ARGUMENTS = 160,
    ERROR_OPERATION_ABORTED = 995,
    ERROR_INTERNAL_ERROR = 1359,
    ERROR_FUNCTION_FAILED = 1627,
};
