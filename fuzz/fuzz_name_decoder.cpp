// SnapDiff file name decoding of any bytes, with any starting decode buffer
// (none, too small, large). A name without a backslash is left alone;
// decoding only ever shortens a name and leaves no NUL in it; the buffer
// handed back is the one the client owns afterwards (ASan sees a double
// free or a leak otherwise). The same name, escaped as the array escapes it
// for NFS and then decoded with that buffer, comes back byte for byte unless
// it holds what the decoder cannot give back: a NUL byte (it ends the name)
// or a backslash followed by two upper-case hex digits (the second pass
// decodes it again).
#include "array/local/LocalArrayNames.h"
#include "fuzz/FuzzSupport.h"

#include <fuzzer/FuzzedDataProvider.h>
#include <cstdlib>
#include <cstring>

namespace {
bool Decodable(const std::string& name) {
    const auto hex = [&](size_t i) {
        return i < name.size() && strchr("0123456789ABCDEF", name[i]);
    };
    for (size_t i = 0; i < name.size(); ++i)
        if (name[i] == '\0' || (name[i] == '\\' && hex(i + 1) && hex(i + 2))) return false;
    return true;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CNetAppSnapClient& client = fuzzsupport::QuietClient();
    FuzzedDataProvider input(data, size);
    size_t bufferSize = input.ConsumeIntegralInRange<size_t>(0, 4096);
    const std::string original = input.ConsumeRemainingBytesAsString();
    std::string name = original, roundTrip = EscapeSnapDiffName(original);

    unsigned char* buffer = bufferSize ? new unsigned char[bufferSize] : nullptr;
    if (!client.SnapDiffRemoveEscapeSequence(name, buffer, bufferSize)) abort();
    const bool escaped = original.find('\\') != std::string::npos;
    if ((!escaped && name != original) || name.size() > original.size() ||
        (escaped && name.find('\0') != std::string::npos))
        abort();
    if (escaped && (!buffer || bufferSize < name.size() + 1)) abort();
    if (!client.SnapDiffRemoveEscapeSequence(roundTrip, buffer, bufferSize)) abort();
    delete[] buffer;
    if (roundTrip.size() > original.size() || (Decodable(original) && roundTrip != original))
        abort();
    return 0;
}
