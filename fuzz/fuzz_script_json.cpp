// The scripted array's document loader on any bytes: a document is taken or
// refused with a one-line error, never with an exception or the end of the
// agent; a document it takes, written back and read again, writes the same.
#include "array/ScriptJson.h"
#include "fuzz/FuzzSupport.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ArrayScript script, again;
    std::string error, once, twice;
    if (!ParseArrayScript(fuzzsupport::Bytes(data, size), script, error)) {
        if (error.empty() || error.find('\n') != std::string::npos) abort();
        return 0;
    }
    if (!ArrayScriptToJson(script, once, error) || !ParseArrayScript(once, again, error) ||
        !ArrayScriptToJson(again, twice, error) || once != twice)
        abort();
    return 0;
}
