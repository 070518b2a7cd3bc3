// The result of every snap client operation and of host calls that can fail
// in detail. A signed 32-bit status (0 success, negative error) plus a
// shared, reference-counted record of details: the Win32 code or job event
// id the error was built from, the event's string arguments, the message and
// the chain of code locations pushed while it travelled upward. Copies share
// the details. Not thread-safe; an error belongs to one thread at a time.
#pragma once

#include <boost/make_shared.hpp>
#include <boost/shared_ptr.hpp>
#include <cstdint>
#include <string>
#include <vector>

// Where an error was raised or passed on.
struct FXCodeLocation {
    std::string strFile;
    std::string strFunction;  // full signature (__PRETTY_FUNCTION__)
    int iLine = 0;

    FXCodeLocation() = default;
    FXCodeLocation(const char* file, const char* function, int line)
        : strFile(file ? file : ""), strFunction(function ? function : ""), iLine(line) {}
};

#define FX_LOCATION FXCodeLocation(__FILE__, __PRETTY_FUNCTION__, __LINE__)

class CRyError {
public:
    enum Kind { kSuccess = 0, kWin32 = 1, kEvent = 2, kOther = 3 };

    // One pushed frame: where, and the message given with it (may be empty).
    struct Frame {
        FXCodeLocation location;
        std::string strMessage;
    };

    CRyError();  // success
    static CRyError Success() { return CRyError(); }
    // Low-level constructor; prefer FXErrorUtil.
    CRyError(int32_t status, Kind kind, uint32_t code, const FXCodeLocation& where,
             const std::string& message);

    bool IsError() const { return m_iStatus < 0; }
    bool IsSuccess() const { return !IsError(); }
    int32_t Status() const { return m_iStatus; }

    // Adds the caller's frame; returns *this so it can be returned directly.
    CRyError& Push(const FXCodeLocation& where);
    CRyError& Push(const FXCodeLocation& where, const char* format, ...)
        __attribute__((format(printf, 3, 4)));
    // Appends one string argument of a job event error. Defined here, as
    // the details' layout is, so that a plug-in binds no host operation for
    // it.
    CRyError& AddArgument(const std::string& argument) {
        if (!m_pDetails) m_pDetails = boost::make_shared<Details>();
        m_pDetails->vecArguments.push_back(argument);
        return *this;
    }

    // Text form: the origin (Win32 code or event id with its arguments), the
    // message, then every pushed frame, innermost first.
    std::string AsString() const;

    Kind GetKind() const;
    uint32_t Win32Code() const;  // 0 unless built from a Win32 code
    uint32_t EventId() const;    // 0 unless built from a job event
    const std::vector<std::string>& EventArguments() const;
    std::string Message() const;               // message given where the error was built
    const std::vector<Frame>& Frames() const;  // origin first, then pushes

private:
    struct Details {
        Kind kind = kSuccess;
        uint32_t uiCode = 0;
        std::vector<std::string> vecArguments;
        std::vector<Frame> vecFrames;
    };
    Details& MutableDetails();

    int32_t m_iStatus;
    boost::shared_ptr<Details> m_pDetails;
};
