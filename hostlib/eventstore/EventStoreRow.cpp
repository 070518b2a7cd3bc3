#include "hostlib/eventstore/EventStoreRow.h"

namespace eventstore {

const char* const kChangeTexts[3] = {kChangeTextModified, kChangeTextCreated, kChangeTextDeleted};

const std::string& ChangeTextOf(int code) {
    static const std::string texts[3] = {kChangeTexts[0], kChangeTexts[1], kChangeTexts[2]};
    return texts[code];
}

int ChangeCodeOf(const std::string& text) {
    for (int code = 0; code < 3; ++code)
        if (text == ChangeTextOf(code)) return code;
    return -1;
}

namespace {

// Zigzag, so that the small negative values (-1 for an unknown time) stay short.
unsigned char* PutSigned(unsigned char* out, int64_t value) {
    uint64_t bits = (static_cast<uint64_t>(value) << 1) ^ static_cast<uint64_t>(value >> 63);
    while (bits >= 0x80) {
        *out++ = static_cast<unsigned char>(bits | 0x80);
        bits >>= 7;
    }
    *out++ = static_cast<unsigned char>(bits);
    return out;
}

bool GetSigned(const unsigned char*& at, const unsigned char* end, int64_t& value) {
    uint64_t bits = 0;
    for (int shift = 0; shift < 64 && at < end; shift += 7) {
        const unsigned char byte = *at++;
        bits |= static_cast<uint64_t>(byte & 0x7F) << shift;
        if (!(byte & 0x80)) {
            value = static_cast<int64_t>(bits >> 1) ^ -static_cast<int64_t>(bits & 1);
            return true;
        }
    }
    return false;
}

}  // namespace

size_t PackDetails(const ChangeEventItem& event, unsigned char* packed) {
    unsigned char* at = PutSigned(packed, event.llMtime);
    // Wrapping differences: any two times round-trip, however far apart.
    at = PutSigned(at, static_cast<int64_t>(static_cast<uint64_t>(event.llCtime) -
                                            static_cast<uint64_t>(event.llMtime)));
    at = PutSigned(at, static_cast<int64_t>(static_cast<uint64_t>(event.llAtime) -
                                            static_cast<uint64_t>(event.llMtime)));
    at = PutSigned(at, event.llAttribute);
    at = PutSigned(at, event.uiChangeFlags);
    at = PutSigned(at, event.uiFileType);
    return static_cast<size_t>(at - packed);
}

bool UnpackDetails(const unsigned char* bytes, size_t size, ChangeEventItem& event) {
    const unsigned char* at = bytes;
    const unsigned char* end = bytes + size;
    int64_t values[6];
    for (int64_t& value : values)
        if (!GetSigned(at, end, value)) return false;
    if (at != end) return false;
    event.llMtime = values[0];
    event.llCtime = static_cast<int64_t>(static_cast<uint64_t>(values[0]) + static_cast<uint64_t>(values[1]));
    event.llAtime = static_cast<int64_t>(static_cast<uint64_t>(values[0]) + static_cast<uint64_t>(values[2]));
    event.llAttribute = values[3];
    event.uiChangeFlags = static_cast<uint32_t>(values[4]);
    event.uiFileType = static_cast<uint32_t>(values[5]);
    return true;
}

}  // namespace eventstore
