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
// a line carries its own function.
#pragma once

#include "host/CRyError.h"
#include "host/LogWriter.h"

// The signature of the agent-facing operation running on this thread, for
// the lifetime of the object; the previous one comes back on exit, so an
// operation that calls another keeps its own signature afterwards.
class CScOperationScope {
public:
    explicit CScOperationScope(const char* signature) : m_pszPrevious(s_pszCurrent) {
        s_pszCurrent = signature;
    }
    ~CScOperationScope() { s_pszCurrent = m_pszPrevious; }
    CScOperationScope(const CScOperationScope&) = delete;
    CScOperationScope& operator=(const CScOperationScope&) = delete;

    static const char* Signature(const char* own) { return s_pszCurrent ? s_pszCurrent : own; }

private:
    const char* m_pszPrevious;
    static inline thread_local const char* s_pszCurrent = nullptr;
};

#define SC_OPERATION() CScOperationScope scOperation_(__PRETTY_FUNCTION__)
#define SC_SIGNATURE (CScOperationScope::Signature(__PRETTY_FUNCTION__))
#define SC_LOCATION FXCodeLocation(__FILE__, SC_SIGNATURE, __LINE__)

#define SC_LOG(level, ...)                                                        \
    do {                                                                          \
        CLogWriterInterface* scLogWriter_ = g_ptrLogWriter;                       \
        if (scLogWriter_ && scLogWriter_->GetLevel() >= (level))                  \
            scLogWriter_->Log((level), SC_SIGNATURE, __LINE__, __VA_ARGS__);      \
    } while (0)

#define SC_LOG_ALWAYS(level, ...)                                                 \
    do {                                                                          \
        CLogWriterInterface* scLogWriter_ = g_ptrLogWriter;                       \
        if (scLogWriter_)                                                         \
            scLogWriter_->Log((level), SC_SIGNATURE, __LINE__, __VA_ARGS__);      \
    } while (0)

#define SC_TRACE_FUNCTION() VKDebugFunction scTrace_(SC_SIGNATURE, __LINE__)
