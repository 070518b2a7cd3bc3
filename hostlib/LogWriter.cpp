#include "host/LogWriter.h"

#include "host/FileLogWriter.h"

// Constant-initialised, so it is null (never garbage) until the library's
// earliest constructor below installs the configured writer.
CLogWriterInterface* g_ptrLogWriter = nullptr;

namespace {
// The host's writer until an agent or a test installs another one. Never
// destroyed: code that logs while the process exits still finds it.
CLogWriterInterface* DefaultWriter() {
    static CFileLogWriter* writer = CreateConfiguredLogWriter();
    return writer;
}

// Runs before every ordinary static initialiser of this library, so no code
// of ours can log, or install a writer, before the default is in place.
__attribute__((constructor(101))) void InstallDefaultWriter() { g_ptrLogWriter = DefaultWriter(); }
}  // namespace

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
    if (m_bActive) g_ptrLogWriter->Log(2, m_pszFunction, m_iLine, "Entering");
}

VKDebugFunction::~VKDebugFunction() {
    // The writer may have been replaced (or removed) while the operation ran.
    if (m_bActive && g_ptrLogWriter) g_ptrLogWriter->Log(2, m_pszFunction, m_iLine, "Leaving");
}
