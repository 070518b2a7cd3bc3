// Logging helpers of the snap client. SC_LOG asks the writer for its level
// first, so a message whose level is off costs one virtual call and no
// formatting; SC_LOG_ALWAYS writes without asking (failures the operator
// must always see).
//
// An operator finds a job step in the log by the signature of the client
// operation that ran it (the agent's calls, the client's own virtual
// operations such as CreateSnapshot, and the pull function), so every line
// and every error location carries the signature of the innermost such
// operation in progress (SC_OPERATION, on entry of each), also when a helper
// or a lambda writes it. Outside any operation (a helper called on its own)
// a line carries its own function. A log line written in another file than
// its operation's names that file after the signature, so that its line
// number leads to the line: "<signature> [ShareResolver.cpp]".
#pragma once

#include "host/CRyError.h"
#include "host/LogWriter.h"

#include <cstring>
#include <string>

// The signature of the agent-facing operation running on this thread, for
// the lifetime of the object; the previous one comes back on exit, so an
// operation that calls another keeps its own signature afterwards.
class CScOperationScope {
public:
    CScOperationScope(const char* signature, const char* file)
        : m_pszPrevious(s_pszCurrent), m_pszPreviousFile(s_pszCurrentFile) {
        s_pszCurrent = signature;
        s_pszCurrentFile = file;
    }
    ~CScOperationScope() {
        s_pszCurrent = m_pszPrevious;
        s_pszCurrentFile = m_pszPreviousFile;
    }
    CScOperationScope(const CScOperationScope&) = delete;
    CScOperationScope& operator=(const CScOperationScope&) = delete;

    static const char* Signature(const char* own) { return s_pszCurrent ? s_pszCurrent : own; }
    // The file of the operation in progress; null outside any.
    static const char* File() { return s_pszCurrentFile; }

private:
    const char* m_pszPrevious;
    const char* m_pszPreviousFile;
    static inline thread_local const char* s_pszCurrent = nullptr;
    static inline thread_local const char* s_pszCurrentFile = nullptr;
};

// The function text of a log line written at file by the function own.
class CScLogPlace {
public:
    CScLogPlace(const char* own, const char* file) : m_pszText(CScOperationScope::Signature(own)) {
        const char* operationFile = CScOperationScope::File();
        if (!operationFile || std::strcmp(operationFile, file) == 0) return;
        const char* slash = std::strrchr(file, '/');
        m_strText = std::string(m_pszText) + " [" + (slash ? slash + 1 : file) + "]";
        m_pszText = m_strText.c_str();
    }
    CScLogPlace(const CScLogPlace&) = delete;
    CScLogPlace& operator=(const CScLogPlace&) = delete;
    const char* Text() const { return m_pszText; }

private:
    std::string m_strText;
    const char* m_pszText;
};

#define SC_OPERATION() CScOperationScope scOperation_(__PRETTY_FUNCTION__, __FILE__)
#define SC_SIGNATURE (CScOperationScope::Signature(__PRETTY_FUNCTION__))
#define SC_LOCATION FXCodeLocation(__FILE__, SC_SIGNATURE, __LINE__)
#define SC_LOG_PLACE (CScLogPlace(__PRETTY_FUNCTION__, __FILE__).Text())

#define SC_LOG(level, ...)                                                   \
    do {                                                                     \
        CLogWriterInterface* scLogWriter_ = g_ptrLogWriter;                  \
        if (scLogWriter_ && scLogWriter_->GetLevel() >= (level))             \
            scLogWriter_->Log((level), SC_LOG_PLACE, __LINE__, __VA_ARGS__); \
    } while (0)

#define SC_LOG_ALWAYS(level, ...)                                                          \
    do {                                                                                   \
        CLogWriterInterface* scLogWriter_ = g_ptrLogWriter;                                \
        if (scLogWriter_) scLogWriter_->Log((level), SC_LOG_PLACE, __LINE__, __VA_ARGS__); \
    } while (0)

// True when a line of that level is written. An operation that runs for
// every change sets its name (SC_OPERATION) only on the way to a line.
#define SC_LOGS_AT(level) (g_ptrLogWriter && g_ptrLogWriter->GetLevel() >= (level))

#define SC_TRACE_FUNCTION() VKDebugFunction scTrace_(SC_SIGNATURE, __LINE__)
