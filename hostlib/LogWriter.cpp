#include "host/LogWriter.h"

// Null until the process installs a writer: loading the host library
// changes nothing, so an agent's own writer stays in place.
CLogWriterInterface* g_ptrLogWriter = nullptr;

CLogWriterInterface* SetLogWriter(CLogWriterInterface* writer) {
    CLogWriterInterface* previous = g_ptrLogWriter;
    g_ptrLogWriter = writer;
    return previous;
}

void CLogWriterInterface::Log(int level, const char* function, int line, const char* format, ...) {
    va_list args;
    va_start(args, format);
    LogV(level, function, line, format, args);
    va_end(args);
}

VKDebugFunction::VKDebugFunction(const char* function, int line)
    : m_pszFunction(function),
      m_iLine(line),
      m_bActive(g_ptrLogWriter && g_ptrLogWriter->GetLevel() > 0) {
    if (m_bActive) g_ptrLogWriter->Log(2, m_pszFunction, m_iLine, "Entering");
}

VKDebugFunction::~VKDebugFunction() {
    // The writer may have been replaced (or removed) while the operation ran.
    if (m_bActive && g_ptrLogWriter) g_ptrLogWriter->Log(2, m_pszFunction, m_iLine, "Leaving");
}
