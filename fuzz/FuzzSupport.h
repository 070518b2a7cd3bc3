// Shared pieces of the fuzz targets: a scratch folder for the process, file
// writing, a config file installed through SNAPCLIENT_CONFIG, and a log
// writer that formats every message at every level (so that a fuzzed text
// reaching a format string is exercised) and then drops it.
#pragma once

#include "host/LogWriter.h"
#include "snapclient/NetAppSnapClient.h"

#include <string>
#include <vector>

namespace fuzzsupport {

// A folder under $TMPDIR made on first use and removed when the process
// exits normally.
const std::string& ScratchDir();
inline std::string Bytes(const uint8_t* data, size_t size) {
    return std::string(reinterpret_cast<const char*>(data), size);
}
// Writes bytes to path, replacing it; aborts when it cannot (the fuzz run
// would otherwise test nothing).
void WriteFile(const std::string& path, const std::string& bytes);
// Writes the config file in the scratch folder and points SNAPCLIENT_CONFIG
// at it.
void InstallConfig(const std::string& contents);
// Credentials for client ids 0 to 9, as the tests' config has them.
std::string ClientCredentials();

class FormattingLogWriter : public CLogWriterInterface {
public:
    int GetLevel() const override { return 3; }
    void LogV(int level, const char* function, int line, const char* format, va_list args) override;
    // When set, every message is kept there whole.
    std::vector<std::string>* kept = nullptr;
};

// Installs a FormattingLogWriter for the rest of the process.
FormattingLogWriter& InstallQuietLog();

// One client for the whole fuzz process, made on first use after the quiet
// log is installed, for targets that call its operations without an array.
CNetAppSnapClient& QuietClient();

}  // namespace fuzzsupport
