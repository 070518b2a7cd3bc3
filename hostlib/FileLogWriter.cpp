#include "host/FileLogWriter.h"

#include "host/FXString.h"
#include "host/VKPlatformInfo.h"

#include <cstdarg>
#include <ctime>
#include <sys/time.h>
#include <unistd.h>

namespace {
std::string TimeStamp() {
    timeval now;
    gettimeofday(&now, nullptr);
    tm parts;
    gmtime_r(&now.tv_sec, &parts);
    char text[40];
    const size_t length = strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &parts);
    snprintf(text + length, sizeof text - length, ".%03dZ", static_cast<int>(now.tv_usec / 1000));
    return text;
}
}  // namespace

CFileLogWriter::CFileLogWriter(int level, const std::string& path)
    : m_iLevel(level), m_pFile(stderr), m_bOwnsFile(false) {
    if (!path.empty()) {
        FILE* file = fopen(path.c_str(), "a");
        if (file) {
            m_pFile = file;
            m_bOwnsFile = true;
        } else {
            fprintf(stderr, "log: cannot open [%s], logging to stderr\n", path.c_str());
        }
    }
}

CFileLogWriter::~CFileLogWriter() {
    if (m_bOwnsFile) fclose(m_pFile);
}

std::string CFileLogWriter::EscapeField(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '\\': out += "\\\\"; break;
            case '\t': out += "\\t"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            default: out += c;
        }
    }
    return out;
}

void CFileLogWriter::LogV(int level, const char* function, int line, const char* format,
                          va_list args) {
    const std::string message = FXString::FormatV(format, args);
    std::string lineText = TimeStamp() + "\t" + std::to_string(getpid()) + "\t" +
                           (m_llJobId ? std::to_string(m_llJobId) : std::string("-")) + "\t" +
                           std::to_string(level) + "\t" + EscapeField(function ? function : "") +
                           "\t" + std::to_string(line) + "\t" + EscapeField(message) + "\n";
    std::lock_guard<std::mutex> lock(m_mutex);
    fwrite(lineText.data(), 1, lineText.size(), m_pFile);
    fflush(m_pFile);
}

CFileLogWriter* CreateConfiguredLogWriter() {
    int level = 0;
    VKPlatformInfo::getRegInt("log", "level", &level);
    std::string path;
    VKPlatformInfo::getRegString("log", "file", &path);
    return new CFileLogWriter(level, path);
}
