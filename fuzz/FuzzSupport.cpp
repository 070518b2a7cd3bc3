#include "fuzz/FuzzSupport.h"

#include <ftw.h>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <vector>

namespace fuzzsupport {

namespace {
int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) { return remove(path); }

void RemoveScratchDir() { nftw(ScratchDir().c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS); }
}  // namespace

const std::string& ScratchDir() {
    static const std::string path = [] {
        const char* base = getenv("TMPDIR");
        std::string pattern =
            std::string(base && *base ? base : "/tmp") + "/snapclient-fuzz-XXXXXX";
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        if (!mkdtemp(buffer.data())) abort();
        return std::string(buffer.data());
    }();
    static const bool cleanupRegistered = atexit(RemoveScratchDir) == 0;
    (void)cleanupRegistered;
    return path;
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) abort();
}

void InstallConfig(const std::string& contents) {
    const std::string path = ScratchDir() + "/snapclient.conf";
    WriteFile(path, contents);
    setenv("SNAPCLIENT_CONFIG", path.c_str(), 1);
}

std::string ClientCredentials() {
    std::string text;
    for (int id = 0; id <= 9; ++id)
        text += "[client." + std::to_string(id) + "]\narray = filer1\nclient_name = client" +
                std::to_string(id) + "\nuser = admin\npassword = secret\n\n";
    return text;
}

void FormattingLogWriter::LogV(int, const char*, int, const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    char line[512];
    const int length = vsnprintf(line, sizeof line, format, args);
    if (kept && length >= 0) {
        std::string whole(static_cast<size_t>(length) + 1, '\0');
        vsnprintf(&whole[0], whole.size(), format, copy);
        whole.pop_back();
        kept->push_back(whole);
    }
    va_end(copy);
}

FormattingLogWriter& InstallQuietLog() {
    static FormattingLogWriter writer;
    SetLogWriter(&writer);
    return writer;
}

CNetAppSnapClient& QuietClient() {
    static CNetAppSnapClient* client = [] {
        InstallQuietLog();
        return new CNetAppSnapClient();
    }();
    return *client;
}

}  // namespace fuzzsupport
