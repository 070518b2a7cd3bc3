#include "host/CRyError.h"

#include "host/FXString.h"

#include <boost/make_shared.hpp>
#include <cstdarg>
#include <cstdio>

namespace {
const std::vector<std::string> kNoArguments;
const std::vector<CRyError::Frame> kNoFrames;

}  // namespace

CRyError::CRyError() : m_iStatus(0) {}

CRyError::CRyError(int32_t status, Kind kind, uint32_t code, const FXCodeLocation& where,
                   const std::string& message)
    : m_iStatus(status), m_pDetails(boost::make_shared<Details>()) {
    m_pDetails->kind = kind;
    m_pDetails->uiCode = code;
    m_pDetails->vecFrames.push_back(Frame{where, message});
}

CRyError::Details& CRyError::MutableDetails() {
    if (!m_pDetails) m_pDetails = boost::make_shared<Details>();
    return *m_pDetails;
}

CRyError& CRyError::Push(const FXCodeLocation& where) {
    MutableDetails().vecFrames.push_back(Frame{where, std::string()});
    return *this;
}

CRyError& CRyError::Push(const FXCodeLocation& where, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string message = FXString::FormatV(format, args);
    va_end(args);
    MutableDetails().vecFrames.push_back(Frame{where, message});
    return *this;
}

CRyError::Kind CRyError::GetKind() const { return m_pDetails ? m_pDetails->kind : kSuccess; }

uint32_t CRyError::Win32Code() const {
    return (m_pDetails && m_pDetails->kind == kWin32) ? m_pDetails->uiCode : 0;
}

uint32_t CRyError::EventId() const {
    return (m_pDetails && m_pDetails->kind == kEvent) ? m_pDetails->uiCode : 0;
}

const std::vector<std::string>& CRyError::EventArguments() const {
    return m_pDetails ? m_pDetails->vecArguments : kNoArguments;
}

std::string CRyError::Message() const {
    if (!m_pDetails || m_pDetails->vecFrames.empty()) return std::string();
    return m_pDetails->vecFrames.front().strMessage;
}

const std::vector<CRyError::Frame>& CRyError::Frames() const {
    return m_pDetails ? m_pDetails->vecFrames : kNoFrames;
}

std::string CRyError::AsString() const {
    if (!IsError() && !m_pDetails) return "Success";
    std::string text;
    switch (GetKind()) {
        case kWin32:
            text = FXString::Format("Error %u (0x%08X)", m_pDetails->uiCode,
                                    static_cast<uint32_t>(m_iStatus));
            break;
        case kEvent:
            text = FXString::Format("Event 0x%08X", m_pDetails->uiCode);
            break;
        default:
            text = FXString::Format("Status 0x%08X", static_cast<uint32_t>(m_iStatus));
            break;
    }
    const std::vector<std::string>& args = EventArguments();
    if (!args.empty()) {
        text += " [";
        for (size_t i = 0; i < args.size(); ++i) {
            if (i) text += "] [";
            text += args[i];
        }
        text += "]";
    }
    std::string message = Message();
    if (!message.empty()) text += ": " + message;
    for (const Frame& frame : Frames()) {
        text += FXString::Format("\n  at %s (%s:%d)", frame.location.strFunction.c_str(),
                                 frame.location.strFile.c_str(), frame.location.iLine);
        if (!frame.strMessage.empty() && &frame != &Frames().front())
            text += ": " + frame.strMessage;
    }
    return text;
}
