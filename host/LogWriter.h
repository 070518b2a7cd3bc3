// The host's log writer. The client asks GetLevel() first and writes a
// message of level L only when the current level is at least L (-1
// failures, 0 main steps, 1..3 detail). g_ptrLogWriter is owned by the host;
// a test or an agent replaces it with SetLogWriter and gets the old one back.
// A null writer drops every message.
#pragma once

#include <cstdarg>
#include <string>

class CLogWriterInterface {
public:
    virtual ~CLogWriterInterface() = default;
    virtual int GetLevel() const = 0;
    virtual void LogV(int level, const char* function, int line, const char* format,
                      va_list args) = 0;

    void Log(int level, const char* function, int line, const char* format, ...)
        __attribute__((format(printf, 5, 6)));
};

extern CLogWriterInterface* g_ptrLogWriter;

// Installs a writer (null allowed) and returns the previous one; the caller
// keeps ownership of both.
CLogWriterInterface* SetLogWriter(CLogWriterInterface* writer);

// Traces entry and exit of an operation at level 2 when the current level
// is above 0.
class VKDebugFunction {
public:
    VKDebugFunction(const char* function, int line);
    ~VKDebugFunction();
    VKDebugFunction(const VKDebugFunction&) = delete;
    VKDebugFunction& operator=(const VKDebugFunction&) = delete;

private:
    const char* m_pszFunction;
    int m_iLine;
    bool m_bActive;
};
