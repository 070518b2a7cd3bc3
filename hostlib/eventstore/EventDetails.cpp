#include "hostlib/eventstore/EventDetails.h"

#include "hostlib/eventstore/Varint.h"

namespace eventstore {

const char* const kChangeTexts[3] = {kChangeTextModified, kChangeTextCreated, kChangeTextDeleted};

const std::string& ChangeTextOf(int code) {
    static const std::string texts[3] = {kChangeTexts[0], kChangeTexts[1], kChangeTexts[2]};
    return texts[code];
}

int ChangeCodeOf(const std::string& text) {
    // The lengths tell the three texts apart but for two of the same length.
    for (int code = 0; code < 3; ++code) {
        const std::string& known = ChangeTextOf(code);
        if (text.size() == known.size() && text == known) return code;
    }
    return -1;
}

namespace {

unsigned char* PutSigned(unsigned char* out, int64_t value) {
    return PutVarint(out, Zigzag(value));
}

bool GetSigned(const unsigned char*& at, const unsigned char* end, int64_t& value) {
    uint64_t bits = 0;
    if (!GetVarint(at, end, bits)) return false;
    value = Unzigzag(bits);
    return true;
}

// Flags and file type share one varint: both are small numbers, and a byte
// saved in every row is 2 % of the store. A type of kTypeApart or more
// follows on its own.
const uint32_t kTypeApart = 7;

}  // namespace

size_t PackDetails(const ChangeEventItem& event, unsigned char* packed) {
    unsigned char* at = PutSigned(packed, event.llMtime);
    // Wrapping differences: any two times round-trip, however far apart.
    at = PutSigned(at, static_cast<int64_t>(static_cast<uint64_t>(event.llCtime) -
                                            static_cast<uint64_t>(event.llMtime)));
    at = PutSigned(at, static_cast<int64_t>(static_cast<uint64_t>(event.llAtime) -
                                            static_cast<uint64_t>(event.llMtime)));
    at = PutSigned(at, event.llAttribute);
    const uint32_t type = event.uiFileType < kTypeApart ? event.uiFileType : kTypeApart;
    at = PutVarint(at, (uint64_t(event.uiChangeFlags) << 3) | type);
    if (type == kTypeApart) at = PutVarint(at, event.uiFileType);
    return static_cast<size_t>(at - packed);
}

bool UnpackDetails(const unsigned char* bytes, size_t size, ChangeEventItem& event) {
    const unsigned char* at = bytes;
    return ReadDetails(at, bytes + size, event) && at == bytes + size;
}

bool SkipDetails(const unsigned char*& at, const unsigned char* end) {
    uint64_t value = 0;
    for (int times = 0; times < 5; ++times)
        if (!GetVarint(at, end, value)) return false;
    return (value & 7) != kTypeApart || GetVarint(at, end, value);
}

bool ReadDetails(const unsigned char*& at, const unsigned char* end, ChangeEventItem& event) {
    int64_t values[4];
    for (int64_t& value : values)
        if (!GetSigned(at, end, value)) return false;
    uint64_t flagsAndType = 0;
    if (!GetVarint(at, end, flagsAndType) || (flagsAndType >> 3) > UINT32_MAX) return false;
    uint64_t type = flagsAndType & 7;
    if (type == kTypeApart && (!GetVarint(at, end, type) || type < kTypeApart || type > UINT32_MAX))
        return false;
    event.llMtime = values[0];
    event.llCtime =
        static_cast<int64_t>(static_cast<uint64_t>(values[0]) + static_cast<uint64_t>(values[1]));
    event.llAtime =
        static_cast<int64_t>(static_cast<uint64_t>(values[0]) + static_cast<uint64_t>(values[2]));
    event.llAttribute = values[3];
    event.uiChangeFlags = static_cast<uint32_t>(flagsAndType >> 3);
    event.uiFileType = static_cast<uint32_t>(type);
    return true;
}

}  // namespace eventstore
