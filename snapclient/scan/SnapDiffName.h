// File names as SnapDiff sends them. An array that escapes names sends a
// backslash and two upper-case hexadecimal digits for one byte, and may
// escape a backslash that itself starts a sequence, so decoding takes a
// second pass over what the first one uncovered, never a third. A name on
// an array that is not a cluster starts with the snapshot directory. These
// functions touch nothing but their arguments; none throws.
#pragma once

#include <cstddef>
#include <new>
#include <string>
#include <string_view>

// The decode buffer of one SnapDiff run: reused for every name, grown only
// when a name does not fit, released on every way out of the run.
struct DecodeBuffer {
    static constexpr size_t kInitialSize = 2048;
    unsigned char* pBytes = new (std::nothrow) unsigned char[kInitialSize];
    size_t size = pBytes ? kInitialSize : 0;

    DecodeBuffer() = default;
    ~DecodeBuffer() { Release(); }
    DecodeBuffer(const DecodeBuffer&) = delete;
    DecodeBuffer& operator=(const DecodeBuffer&) = delete;
    void Release() {
        delete[] pBytes;
        pBytes = nullptr;
        size = 0;
    }
};

// Decodes name in place through buffer (size bytes, may be null). A decoded
// zero byte ends the name. onePass, when given, gets the first pass's result
// whenever a second pass ran (the second may have decoded a real backslash
// of the name), else empty. False when the buffer could not be grown: the
// caller then holds no buffer (null, size 0), never a released one.
bool DecodeSnapDiffName(std::string& name, unsigned char*& buffer, size_t& size,
                        std::string* onePass);

// Where the path below the snapshot directory begins in a name sent by an
// array that is not a cluster; npos when the name holds neither snapshot
// name. For the snapshot directory itself, the volume root, the name's end.
size_t SnapshotPrefixEnd(std::string_view name, const std::string& currSnapName,
                         const std::string& prevSnapName);
// Cuts name down to that path; false (name emptied) when there is none.
bool CutSnapshotPrefix(std::string& name, const std::string& currSnapName,
                       const std::string& prevSnapName);

// True when a component of path is "." or "..".
bool HasDotComponent(const std::string& path);
