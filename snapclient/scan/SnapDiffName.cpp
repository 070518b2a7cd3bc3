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
// the output is zero-terminated.
void DecodeOnePass(const std::string& name, unsigned char* buffer) {
    const size_t length = name.size();
    const unsigned char* in = reinterpret_cast<const unsigned char*>(name.data());
    size_t out = 0;
    size_t i = 0;
    while (i < length && in[i] != '\0') {
        if (in[i] == '\\' && i + 3 <= length) {
            const int high = HexDigitValue(in[i + 1]);
            const int low = HexDigitValue(in[i + 2]);
            if (high >= 0 && low >= 0) {
                buffer[out++] = static_cast<unsigned char>(high * 16 + low);
                i += 3;
                continue;
            }
        }
        buffer[out++] = in[i++];
    }
    buffer[out] = '\0';
}

}  // namespace

bool DecodeSnapDiffName(std::string& name, unsigned char*& buffer, size_t& size,
                        std::string* onePass) {
    if (onePass) onePass->clear();
    if (name.find('\\') == std::string::npos) return true;
    for (int pass = 0; pass < 2; ++pass) {
        if (!EnsureDecodeBuffer(name.size() + 1, buffer, size)) return false;
        DecodeOnePass(name, buffer);
        // Read back as a C string: a decoded zero byte ends the name there.
        name.assign(reinterpret_cast<const char*>(buffer));
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
// longer is the directory. A name holding neither snapshot name becomes
// empty and false is returned; the snapshot directory itself, the volume
// root, becomes empty too but is found.
bool CutSnapshotPrefix(std::string& name, const std::string& currSnapName,
                       const std::string& prevSnapName) {
    const size_t curr = name.find(currSnapName);
    const size_t prev = name.find(prevSnapName);
    if (curr == std::string::npos && prev == std::string::npos) {
        name.clear();
        return false;
    }
    const bool cutAtPrev =
        curr == std::string::npos ||
        (prev != std::string::npos &&
         (prev < curr || (prev == curr && prevSnapName.size() > currSnapName.size())));
    name.erase(0, cutAtPrev ? prev + prevSnapName.size() : curr + currSnapName.size());
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
