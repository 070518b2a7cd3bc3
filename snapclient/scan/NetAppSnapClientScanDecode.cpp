// Decoding of the file names SnapDiff sends when the array escapes them: a
// backslash and two upper-case hexadecimal digits stand for one byte. The
// array may escape a backslash that itself starts a sequence, so a second
// pass decodes what the first one uncovered; there is never a third. The
// decode buffer belongs to the caller's run and is reused for every name; it
// grows only when a name does not fit, and when growing fails the caller is
// left with no buffer (null, size 0), never with a released one. A caller
// that must know which file a name means (the second pass may have decoded
// what was a real backslash of it) gets the first pass's result whenever a
// second pass ran, and an empty string otherwise.
#include "snapclient/NetAppSnapClient.h"

#include "snapclient/ClientLog.h"

#include <new>

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

bool CNetAppSnapClient::SnapDiffRemoveEscapeSequence(std::string& name, unsigned char*& buffer,
                                                     size_t& size, std::string* onePass) {
    if (onePass) onePass->clear();
    if (name.find('\\') == std::string::npos) return true;
    for (int pass = 0; pass < 2; ++pass) {
        if (!EnsureDecodeBuffer(name.size() + 1, buffer, size)) {
            SC_LOG_ALWAYS(-1, "Failed to allocate memory for file name translation");
            return false;
        }
        DecodeOnePass(name, buffer);
        // Read back as a C string: a decoded zero byte ends the name there.
        name.assign(reinterpret_cast<const char*>(buffer));
        if (name.find('\\') == std::string::npos) break;
        if (onePass && pass == 0) onePass->assign(name);
    }
    return true;
}
