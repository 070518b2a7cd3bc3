#include "hostlib/FileLogWriter.h"

#include "host/FXFile.h"
#include "host/FXString.h"
#include "host/VKPlatformInfo.h"
#include "hostlib/OutputFailure.h"
#include "hostlib/TextBytes.h"

#include <sys/time.h>
#include <unistd.h>
#include <cerrno>
#include <cstdarg>
#include <ctime>

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
    : m_iLevel(level), m_strPath(path), m_pFile(stderr), m_bOwnsFile(false) {
    if (path.empty()) return;
    // The log names every changed file: created 0600, never through a link.
    FILE* file = nullptr;
    const CRyError opened = FXFile::vkfopen(file, path, "a");
    if (file) {
        m_pFile = file;
        m_bOwnsFile = true;
    } else {
        fprintf(stderr, "log: %s, logging to stderr\n", opened.Message().c_str());
    }
}

CFileLogWriter::~CFileLogWriter() {
    if (m_bOwnsFile && fclose(m_pFile) != 0) OutputFailure::Note(FailureText("close"), errno);
}

std::string CFileLogWriter::FailureText(const char* what) const {
    return std::string("cannot ") + what + " the log [" + (m_bOwnsFile ? m_strPath : "stderr") +
           "]";
}

std::string CFileLogWriter::EscapeField(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            default:
                // A file name may hold terminal control sequences: a reader
                // of the log with cat or tail must see them, not obey them.
                if (byte < 0x20 || byte == 0x7F) {
                    AppendEscapedByte(out, "\\x", byte);
                } else {
                    out += c;
                }
        }
    }
    return out;
}

void CFileLogWriter::LogV(int level, const char* function, int line, const char* format,
                          va_list args) {
    const std::string message = FXString::FormatV(format, args);
    std::string lineText = TimeStamp() + "\t" + std::to_string(getpid()) + "\t" +
                           (m_llClientId >= 0 ? std::to_string(m_llClientId) : std::string("-")) +
                           "\t" + (m_llJobId ? std::to_string(m_llJobId) : std::string("-")) +
                           "\t" + std::to_string(level) + "\t" +
                           EscapeField(function ? function : "") + "\t" + std::to_string(line) +
                           "\t" + EscapeField(message) + "\n";
    std::lock_guard<std::mutex> lock(m_mutex);
    if (fwrite(lineText.data(), 1, lineText.size(), m_pFile) != lineText.size() ||
        fflush(m_pFile) != 0)
        OutputFailure::Note(FailureText("write"), errno);
}

CFileLogWriter* CreateConfiguredLogWriter() {
    int level = 0;
    VKPlatformInfo::getRegInt("log", "level", &level);
    std::string path;
    VKPlatformInfo::getRegString("log", "file", &path);
    return new CFileLogWriter(level, path);
}
