// The host library's own log writer: one line per message to stderr or to a
// file,
//   time<TAB>pid<TAB>client<TAB>job<TAB>level<TAB>function<TAB>line<TAB>message
// where time is UTC in ISO 8601 with milliseconds (2026-12-07T06:40:00.123Z),
// pid the writing process, client and job the ids the agent set ("-" before
// one is set), so that the lines of several clients, jobs and processes
// sharing one file can be told apart (two clients' job 2 among them). Backslash, tab, newline and
// carriage return are written \\, \t, \n, \r and every other byte below 0x20 and 0x7F as \xHH, so
// that every message stays one line and holds no terminal control. The file is created 0600 and
// never opened through a link; a failed write, flush or close is noted in OutputFailure. Level and
// file come from the config ([log] level, [log] file); level 0 by default. Thread-safe for
// concurrent Log calls.
#pragma once

#include "host/LogWriter.h"

#include <cstdio>
#include <mutex>
#include <string>

class CFileLogWriter : public CLogWriterInterface {
public:
    // path empty: stderr. A file that cannot be opened falls back to stderr.
    CFileLogWriter(int level, const std::string& path);
    ~CFileLogWriter() override;
    int GetLevel() const override { return m_iLevel; }
    void SetLevel(int level) { m_iLevel = level; }
    // The job the following lines belong to; 0 for none.
    void SetJobId(long long jobId) { m_llJobId = jobId; }
    // The backup client of the following lines; -1 for none.
    void SetClientId(long long clientId) { m_llClientId = clientId; }
    void LogV(int level, const char* function, int line, const char* format, va_list args) override;

    static std::string EscapeField(const std::string& text);

private:
    std::string FailureText(const char* what) const;

    int m_iLevel;
    std::string m_strPath;
    long long m_llJobId = 0;
    long long m_llClientId = -1;
    FILE* m_pFile;
    bool m_bOwnsFile;
    std::mutex m_mutex;
};

// Builds the writer the config asks for ([log] level, [log] file).
CFileLogWriter* CreateConfiguredLogWriter();
