#include "host/LogWriter.h"

#include "host/FileLogWriter.h"

namespace {
// The host's writer until an agent or a test installs another one.
CLogWriterInterface* DefaultWriter() {
    static CFileLogWriter* writer = CreateConfiguredLogWriter();
    return writer;
}
}  // namespace

CLogWriterInterface* g_ptrLogWriter = DefaultWriter();

CLogWriterInterface* SetLogWriter(CLogWriterInterface* writer) {
    CLogWriterInterface* previous = g_ptrLogWriter;
    g_ptrLogWriter = writer;
    return previous;
}

void CLogWriterInterface::Log(int level, const char* function, int line, const char* format,
                              ...) {
    va_list args;
    va_start(args, format);
    LogV(level, function, line, format, args);
    va_end(args);
}

VKDebugFunction::VKDebugFunction(const char* function, int line)
    : m_pszFunction(function), m_iLine(line),
      m_bActive(g_ptrLogWriter && g_ptrLogWriter->GetLevel() > 0) {
    if (m_bActive && g_ptrLogWriter->GetLevel() >= 2)
        g_ptrLogWriter->Log(2, m_pszFunction, m_iLine, "Entering");
}

VKDebugFunction::~VKDebugFunction() {
    if (m_bActive && g_ptrLogWriter && g_ptrLogWriter->GetLevel() >= 2)
        g_ptrLogWriter->Log(2, m_pszFunction, m_iLine, "Leaving");
}
