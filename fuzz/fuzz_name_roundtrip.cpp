// A file name of any bytes, escaped as the array escapes it for NFS and then
// decoded by the client, comes back byte for byte unless it holds what the
// decoder cannot give back: a NUL byte (it ends the name) or a backslash
// followed by two upper-case hex digits (the second pass decodes it again).
#include "array/local/LocalArrayNames.h"
#include "fuzz/FuzzSupport.h"

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
    const std::string name = fuzzsupport::Bytes(data, size);
    std::string decoded = EscapeSnapDiffName(name);
    unsigned char* buffer = nullptr;
    size_t bufferSize = 0;
    if (!fuzzsupport::QuietClient().SnapDiffRemoveEscapeSequence(decoded, buffer, bufferSize))
        abort();
    delete[] buffer;
    if (decoded.size() > name.size() || (Decodable(name) && decoded != name)) abort();
    return 0;
}
