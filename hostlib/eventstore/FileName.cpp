#include "hostlib/eventstore/FileName.h"

#include "hostlib/TextBytes.h"
#include "hostlib/eventstore/Sha256.h"

#include <climits>

namespace eventstore {

namespace {
const char kPartSeparator = '+';
const char kDigestSeparator = '=';
const char kSuffix[] = ".events.db";
// Enough of the escaped name to tell a reader which snapshots and volume a
// long-named store belongs to; the digest makes it unique.
const size_t kReadablePrefixLength = 96;

bool IsSafeByte(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_';
}

// Cuts at most kReadablePrefixLength bytes without splitting a "%XX" triplet.
std::string ReadablePrefix(const std::string& escaped) {
    if (escaped.size() <= kReadablePrefixLength) return escaped;
    // '%' only ever starts a triplet: the escaping turns a literal '%' into "%25".
    size_t length = kReadablePrefixLength;
    if (escaped[length - 1] == '%') {
        length -= 1;
    } else if (escaped[length - 2] == '%') {
        length -= 2;
    }
    return escaped.substr(0, length);
}
}  // namespace

std::string EscapeEventStoreNamePart(const std::string& part) {
    std::string escaped;
    escaped.reserve(part.size());
    for (size_t i = 0; i < part.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(part[i]);
        if (IsSafeByte(c) && !(i == 0 && c == '.')) {
            escaped.push_back(static_cast<char>(c));
        } else {
            AppendEscapedByte(escaped, "%", c);
        }
    }
    return escaped;
}

std::string EventStoreFileName(const std::string& prevSnapName,
                               const std::string& currSnapAndVolume) {
    std::string escaped = EscapeEventStoreNamePart(prevSnapName) + kPartSeparator +
                          EscapeEventStoreNamePart(currSnapAndVolume);
    if (escaped.size() + sizeof(kSuffix) - 1 <= NAME_MAX) return escaped + kSuffix;
    return ReadablePrefix(escaped) + kDigestSeparator + Sha256Hex(escaped) + kSuffix;
}

}  // namespace eventstore
