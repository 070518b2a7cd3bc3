// Logging helpers of the snap client. SC_LOG asks the writer for its level
// first, so a message whose level is off costs one virtual call and no
// formatting; SC_LOG_ALWAYS writes without asking (failures the operator
// must always see).
#pragma once

#include "host/LogWriter.h"

#define SC_LOG(level, ...)                                                        \
    do {                                                                          \
        CLogWriterInterface* scLogWriter_ = g_ptrLogWriter;                       \
        if (scLogWriter_ && scLogWriter_->GetLevel() >= (level))                  \
            scLogWriter_->Log((level), __PRETTY_FUNCTION__, __LINE__, __VA_ARGS__); \
    } while (0)

#define SC_LOG_ALWAYS(level, ...)                                                 \
    do {                                                                          \
        CLogWriterInterface* scLogWriter_ = g_ptrLogWriter;                       \
        if (scLogWriter_)                                                         \
            scLogWriter_->Log((level), __PRETTY_FUNCTION__, __LINE__, __VA_ARGS__); \
    } while (0)

#define SC_TRACE_FUNCTION() VKDebugFunction scTrace_(__PRETTY_FUNCTION__, __LINE__)
