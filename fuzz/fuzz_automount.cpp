// The auto-mount map: a fuzzed [automount] section and backup path. A path
// resolves, is reported unresolvable, or its source is refused as malformed;
// a resolved path names an interface and "interface:export", and a "/" put
// at the end of the backup path changes nothing.
#include "fuzz/FuzzSupport.h"
#include "host/FileShareAutoMount.h"

#include <fuzzer/FuzzedDataProvider.h>
#include <cstdlib>

namespace {
struct Resolved {
    bool ok, failed = false;
    std::string format, interface;
    bool operator!=(const Resolved& o) const {
        return ok != o.ok || failed != o.failed || format != o.format || interface != o.interface;
    }
};

Resolved Resolve(const std::string& path) {
    Resolved r;
    r.ok = FileShareAutoMount::convertScanToMountFormat(path, r.format, r.interface, r.failed)
               .IsSuccess();
    if (r.ok && !r.failed &&
        (r.interface.empty() || r.format.compare(0, r.interface.size() + 1, r.interface + ":")))
        abort();
    return r;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzsupport::InstallQuietLog();
    FuzzedDataProvider input(data, size);
    const std::string path = "/" + input.ConsumeRandomLengthString(4096);
    fuzzsupport::InstallConfig("[automount]\n" + input.ConsumeRemainingBytesAsString());
    const Resolved plain = Resolve(path);
    if (path.back() != '/' && Resolve(path + "/") != plain) abort();
    return 0;
}
