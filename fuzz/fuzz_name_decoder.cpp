// SnapDiff file name decoding: any bytes, any length, any starting decode
// buffer (none, too small, large). The result must match an independent
// reading of the escape rule, and the buffer handed back must be the one
// the client owns afterwards (ASan sees a double free or a leak otherwise).
#include "fuzz/FuzzSupport.h"
#include "snapclient/NetAppSnapClient.h"

#include <cstdlib>
#include <fuzzer/FuzzedDataProvider.h>

namespace {

int DigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// One pass: a backslash and two upper-case hex digits become that byte; a
// decoded zero byte ends the name.
std::string ReferencePass(const std::string& in) {
    std::string out;
    for (size_t i = 0; i < in.size() && in[i] != '\0';) {
        if (in[i] == '\\' && i + 2 < in.size() && DigitValue(in[i + 1]) >= 0 &&
            DigitValue(in[i + 2]) >= 0) {
            const char byte = static_cast<char>(DigitValue(in[i + 1]) * 16 + DigitValue(in[i + 2]));
            if (byte == '\0') break;
            out += byte;
            i += 3;
        } else {
            out += in[i++];
        }
    }
    return out;
}

std::string Reference(const std::string& name) {
    if (name.find('\\') == std::string::npos) return name;
    std::string once = ReferencePass(name);
    return once.find('\\') == std::string::npos ? once : ReferencePass(once);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CNetAppSnapClient* client = &fuzzsupport::QuietClient();
    FuzzedDataProvider input(data, size);
    const size_t initialSize = input.ConsumeIntegralInRange<size_t>(0, 4096);
    std::string name = input.ConsumeRemainingBytesAsString();
    const std::string original = name;

    unsigned char* buffer = initialSize ? new unsigned char[initialSize] : nullptr;
    size_t bufferSize = initialSize;
    if (!client->SnapDiffRemoveEscapeSequence(name, buffer, bufferSize)) abort();
    if (name != Reference(original)) abort();
    if (original.find('\\') != std::string::npos && (!buffer || bufferSize < name.size() + 1))
        abort();
    delete[] buffer;
    return 0;
}
