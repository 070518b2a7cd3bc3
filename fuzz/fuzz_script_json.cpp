// The scripted array's document loader on any bytes: a document is taken or
// refused with a one-line error, never with an exception or the end of the
// agent; a document it takes, written back and read again, writes the same.
#include "array/ScriptJson.h"
#include "fuzz/FuzzSupport.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ArrayScript script, again;
    std::string once, twice;
    const hostlib::Status parsed = ParseArrayScript(fuzzsupport::Bytes(data, size), script);
    if (!parsed.ok()) {
        if (parsed.message().empty() || parsed.message().find('\n') != std::string::npos) abort();
        return 0;
    }
    if (!ArrayScriptToJson(script, once).ok() || !ParseArrayScript(once, again).ok() ||
        !ArrayScriptToJson(again, twice).ok() || once != twice)
        abort();
    return 0;
}
