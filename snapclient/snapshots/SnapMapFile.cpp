#include "snapclient/snapshots/SnapMapFile.h"

#include "host/FXErrorUtil.h"
#include "host/FXFile.h"
#include "host/FXPath.h"
#include "host/FXString.h"
#include "snapclient/ClientLog.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

namespace {
const char kSnapMapFileName[] = "nativeSnapMapInfo.vkf";

// getline's buffer, grown by getline and released on every way out.
struct LineBuffer {
    char* pData = nullptr;
    size_t uCapacity = 0;
    LineBuffer() = default;
    LineBuffer(const LineBuffer&) = delete;
    LineBuffer& operator=(const LineBuffer&) = delete;
    ~LineBuffer() { free(pData); }
};
}  // namespace

CRyError SnapMapFile::Append(const std::string& file,
                             const std::map<std::string, std::string>& paths) {
    FILE* raw = nullptr;
    FXFile::vkfopen(raw, file, "a+");
    auto_fileptr stream(raw);
    if (!stream.valid())
        return FXErrorUtil::ErrorWin32(SC_LOCATION, ERROR_FUNCTION_FAILED,
                                       " Failed to open [%s] file", file.c_str());
    for (const auto& entry : paths) {
        const std::string record = "m:" + entry.first + ":" + entry.second + ":\n";
        if (fwrite(record.data(), 1, record.size(), stream.get()) != record.size())
            return FXErrorUtil::ErrorWin32(SC_LOCATION, ERROR_FUNCTION_FAILED,
                                           "Failed to write [%s] file", file.c_str());
    }
    // Buffered records reach the disk only here; a full disk shows up now.
    if (stream.close() != 0)
        return FXErrorUtil::ErrorWin32(SC_LOCATION, ERROR_FUNCTION_FAILED,
                                       "Failed to write [%s] file", file.c_str());
    return CRyError::Success();
}

CRyError SnapMapFile::Replace(const std::string& file,
                              const std::function<CRyError(const std::string& temp)>& write) {
    // A link or a special file in the map file's place is refused, never
    // written through or replaced.
    const std::string temp = file + ".tmp";
    struct stat st;
    if (lstat(file.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
        return FXErrorUtil::ErrorWin32(SC_LOCATION, ERROR_FUNCTION_FAILED,
                                       "Failed to write [%s] file", file.c_str());
    unlink(temp.c_str());  // a leftover of a job that died here
    CRyError err;
    try {
        err = write(temp);
    } catch (...) {
        unlink(temp.c_str());
        throw;
    }
    if (err.IsSuccess() && rename(temp.c_str(), file.c_str()) != 0)
        err = FXErrorUtil::ErrorWin32(SC_LOCATION, ERROR_FUNCTION_FAILED,
                                      "Failed to write [%s] file", file.c_str());
    if (err.IsError()) unlink(temp.c_str());
    return err;
}

CRyError SnapMapFile::ForEachBackupPath(
    const std::string& jobResultsDir,
    const std::function<CRyError(const std::vector<std::string>& backupPaths)>& visit,
    bool& opened) {
    std::string path = jobResultsDir;
    FXPath::Append(path, kSnapMapFileName, 0);
    FILE* raw = nullptr;
    FXFile::vkfopen(raw, path, "r");
    auto_fileptr file(raw);
    opened = file.valid();
    if (!opened) {
        SC_LOG(0, "Failed to open the file [%s] to clean up snapshots.", path.c_str());
        return CRyError::Success();
    }

    // Whole lines of any length: a long path is one record, never several.
    LineBuffer buffer;
    std::vector<std::string> fields;
    std::vector<std::string> keys;
    for (;;) {
        const ssize_t length = getline(&buffer.pData, &buffer.uCapacity, file.get());
        if (length < 0) break;
        std::string line(buffer.pData, static_cast<size_t>(length));
        FXString::TrimRight(line, "\r\n");
        if (line.empty()) continue;
        FXString::Split(line, ":", fields, 0);
        if (fields.size() < 2) {
            SC_LOG(0, "Incorrect or unknown line format [%s] in file [%s]. Ignoring it.",
                   line.c_str(), path.c_str());
            continue;
        }
        // A backup path may itself hold ":"; the record cannot tell where it
        // ends, so each cut is offered in turn, the first ":" first.
        keys.clear();
        const size_t start = line.find(':') + 1;
        for (size_t colon = line.find(':', start); colon != std::string::npos;
             colon = line.find(':', colon + 1))
            keys.push_back(line.substr(start, colon - start));
        if (keys.empty()) keys.push_back(fields[1]);
        CRyError err = visit(keys);
        if (err.IsError()) return err;
    }
    if (ferror(file.get()))
        SC_LOG_ALWAYS(-1,
                      "Failed to read the file [%s] to clean up snapshots, later records are "
                      "not processed.",
                      path.c_str());
    return CRyError::Success();
}
