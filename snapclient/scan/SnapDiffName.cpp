#include "snapclient/scan/SnapDiffName.h"

#include <cstring>

namespace {

// Value of an escape digit, or -1: only 0-9 and A-F count.
int HexDigitValue(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool EnsureDecodeBuffer(size_t needed, unsigned char*& buffer, size_t& size) {
    if (buffer && needed <= size) return true;
    delete[] buffer;
    buffer = new (std::nothrow) unsigned char[needed];
    size = buffer ? needed : 0;
    return buffer != nullptr;
}

// One forward walk of name into buffer (which holds name.size() + 1 bytes);
// the output is zero-terminated and its length returned. A zero byte, sent
// or decoded, ends the name. The runs between backslashes are copied whole:
// most names hold few escapes or none.
size_t DecodeOnePass(const std::string& name, unsigned char* buffer) {
    const unsigned char* const in = reinterpret_cast<const unsigned char*>(name.data());
    const size_t length = strnlen(name.data(), name.size());
    size_t out = 0;
    size_t i = 0;
    while (i < length) {
        const void* found = memchr(in + i, '\\', length - i);
        const size_t run = (found ? static_cast<const unsigned char*>(found) - in : length) - i;
        memcpy(buffer + out, in + i, run);
        out += run;
        i += run;
        if (i == length) break;
        const int high = i + 3 <= length ? HexDigitValue(in[i + 1]) : -1;
        const int low = high >= 0 ? HexDigitValue(in[i + 2]) : -1;
        if (low < 0) {
            buffer[out++] = in[i++];
            continue;
        }
        const unsigned char byte = static_cast<unsigned char>(high * 16 + low);
        if (byte == 0) break;
        buffer[out++] = byte;
        i += 3;
    }
    buffer[out] = '\0';
    return out;
}

}  // namespace

bool DecodeSnapDiffName(std::string& name, unsigned char*& buffer, size_t& size,
                        std::string* onePass) {
    if (onePass) onePass->clear();
    if (name.find('\\') == std::string::npos) return true;
    for (int pass = 0; pass < 2; ++pass) {
        if (!EnsureDecodeBuffer(name.size() + 1, buffer, size)) return false;
        name.assign(reinterpret_cast<const char*>(buffer), DecodeOnePass(name, buffer));
        if (name.find('\\') == std::string::npos) break;
        if (onePass && pass == 0) onePass->assign(name);
    }
    return true;
}

// On an array that is not a cluster SnapDiff names a change by its path
// inside the snapshot directory; keep what follows the snapshot name. That
// directory comes first in the name, so the earlier of the two snapshot names
// is the one to cut at: a deleted file of the base snapshot may itself be
// named like the current snapshot (.../.snapshot/<base>/x/<current>/f), and
// cutting there would report another path, even one of another share, as
// deleted. Where both names start at one place one begins the other, and the
// longer is the directory.
size_t SnapshotPrefixEnd(std::string_view name, const std::string& currSnapName,
                         const std::string& prevSnapName) {
    const size_t curr = name.find(currSnapName);
    // The base snapshot's name matters only where it starts no later.
    const size_t prev =
        name.substr(0, curr == std::string::npos ? curr : curr + prevSnapName.size())
            .find(prevSnapName);
    if (curr == std::string::npos && prev == std::string::npos) return std::string::npos;
    const bool cutAtPrev =
        curr == std::string::npos ||
        (prev != std::string::npos &&
         (prev < curr || (prev == curr && prevSnapName.size() > currSnapName.size())));
    return cutAtPrev ? prev + prevSnapName.size() : curr + currSnapName.size();
}

bool CutSnapshotPrefix(std::string& name, const std::string& currSnapName,
                       const std::string& prevSnapName) {
    const size_t end = SnapshotPrefixEnd(name, currSnapName, prevSnapName);
    if (end == std::string::npos) {
        name.clear();
        return false;
    }
    name.erase(0, end);
    return true;
}

bool HasDotComponent(const std::string& path) {
    // No file system sends such a name, and handing it on would let the
    // agent read outside the share. Only the dots of the path are looked
    // at: most paths have one or none, and this runs for every change.
    const char* const begin = path.data();
    const char* const end = begin + path.size();
    for (const char* dot = begin;
         (dot = static_cast<const char*>(memchr(dot, '.', end - dot))) != nullptr; ++dot) {
        if (dot != begin && dot[-1] != '/') continue;
        const char* after = dot + 1;
        if (after != end && *after == '.') ++after;
        if (after == end || *after == '/') return true;
    }
    return false;
}
