#include "host/FileLogWriter.h"

#include "host/VKPlatformInfo.h"

#include <cstdarg>

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
    char stackBuffer[1024];
    va_list copy;
    va_copy(copy, args);
    int n = vsnprintf(stackBuffer, sizeof stackBuffer, format, copy);
    va_end(copy);
    std::string message;
    if (n >= static_cast<int>(sizeof stackBuffer)) {
        message.resize(static_cast<size_t>(n) + 1);
        vsnprintf(&message[0], message.size(), format, args);
        message.resize(static_cast<size_t>(n));
    } else if (n > 0) {
        message.assign(stackBuffer, static_cast<size_t>(n));
    }
    std::string lineText = std::to_string(level) + "\t" + EscapeField(function ? function : "") +
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
