// Names are bytes, not text: these tell whether bytes are UTF-8 (strict: no
// overlong forms, no surrogates, nothing above U+10FFFF) and spell bytes as
// hex digits, for the tools, the arrays and the store that show or encode
// names. Pure functions.
#pragma once

#include <string>

bool IsValidUtf8(const std::string& bytes);

// The hex digit of value & 0x0F.
inline char HexDigit(unsigned value, bool upper) {
    return (upper ? "0123456789ABCDEF" : "0123456789abcdef")[value & 0x0F];
}

// Appends marker and the byte's two upper-case hex digits: how the log, the
// array's SnapDiff names and the store's file names spell a byte they will
// not show as it is.
inline void AppendEscapedByte(std::string& out, const char* marker, unsigned char byte) {
    out += marker;
    out.push_back(HexDigit(byte >> 4, true));
    out.push_back(HexDigit(byte, true));
}

// Two hex digits a byte: "café" is 636166c3a9 in lower case.
std::string HexOfBytes(const std::string& bytes, bool upper);
