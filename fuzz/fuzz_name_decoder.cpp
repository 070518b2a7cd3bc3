// SnapDiff file name decoding of any bytes, with any starting decode buffer
// (none, too small, large). A name without a backslash is left alone;
// decoding only ever shortens a name and leaves no NUL in it; the buffer
// handed back is the one the client owns afterwards (ASan sees a double
// free or a leak otherwise). Exact results are held by the round trip
// through the array's escaping (fuzz_name_roundtrip) and the corpus.
#include "fuzz/FuzzSupport.h"

#include <fuzzer/FuzzedDataProvider.h>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CNetAppSnapClient* client = &fuzzsupport::QuietClient();
    FuzzedDataProvider input(data, size);
    const size_t initialSize = input.ConsumeIntegralInRange<size_t>(0, 4096);
    std::string name = input.ConsumeRemainingBytesAsString();
    const std::string original = name;

    unsigned char* buffer = initialSize ? new unsigned char[initialSize] : nullptr;
    size_t bufferSize = initialSize;
    if (!client->SnapDiffRemoveEscapeSequence(name, buffer, bufferSize)) abort();
    const bool escaped = original.find('\\') != std::string::npos;
    if ((!escaped && name != original) || name.size() > original.size() ||
        (escaped && name.find('\0') != std::string::npos))
        abort();
    if (escaped && (!buffer || bufferSize < name.size() + 1)) abort();
    delete[] buffer;
    return 0;
}
