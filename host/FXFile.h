// File handles for the client: vkfopen opens a stdio stream, auto_fileptr
// closes it on every way out and lets the owner check the close.
#pragma once

#include "host/CRyError.h"

#include <cstdio>
#include <string>

namespace FXFile {
// Opens path with the stdio mode; file is null and the error names errno on
// failure.
CRyError vkfopen(FILE*& file, const std::string& path, const char* mode);
}  // namespace FXFile

class auto_fileptr {
public:
    explicit auto_fileptr(FILE* file = nullptr) : m_pFile(file) {}
    ~auto_fileptr() { close(); }
    auto_fileptr(const auto_fileptr&) = delete;
    auto_fileptr& operator=(const auto_fileptr&) = delete;

    FILE* get() const { return m_pFile; }
    bool valid() const { return m_pFile != nullptr; }
    void reset(FILE* file = nullptr) {
        close();
        m_pFile = file;
    }
    // Closes now; 0 on success (or nothing open), EOF when the close failed.
    int close() {
        int rc = 0;
        if (m_pFile) {
            rc = fclose(m_pFile);
            m_pFile = nullptr;
        }
        return rc;
    }

private:
    FILE* m_pFile;
};
