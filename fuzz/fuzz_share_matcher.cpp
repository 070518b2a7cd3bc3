// Placing a reported SnapDiff path under a share: fuzzed shares (backup
// path, volume path, volume name of any bytes, including volume paths of
// shapes the array never sends) and a fuzzed path. A path that matches must
// come out under the matching share's backup path; one that does not must
// come out untouched. The snapshot directory test and the volume lookup
// run on the same bytes.
#include "fuzz/FuzzSupport.h"
#include "snapclient/NetAppSnapClient.h"

#include <cstdlib>
#include <fuzzer/FuzzedDataProvider.h>

namespace {

std::string WithSlashes(std::string text) {
    for (char& c : text)
        if (c == '\\') c = '/';
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CNetAppSnapClient* client = &fuzzsupport::QuietClient();
    FuzzedDataProvider input(data, size);
    std::list<FileServerExportInfo> shares(input.ConsumeIntegralInRange<int>(0, 3));
    for (FileServerExportInfo& share : shares) {
        share.strBackupPath = input.ConsumeRandomLengthString(64);
        share.strVolumePath = input.ConsumeRandomLengthString(64);
        share.strVolume = input.ConsumeRandomLengthString(16);
    }
    const std::string original = input.ConsumeRemainingBytesAsString();
    std::string path = original;

    client->CheckIfSnapPath(original);
    if (client->IsEventPartOfBackupPaths(shares, path)) {
        bool under = false;
        for (const FileServerExportInfo& share : shares)
            under |= path.compare(0, share.strBackupPath.size(), WithSlashes(share.strBackupPath)) == 0;
        if (!under) abort();
    } else if (path != original) {
        abort();
    }
    return 0;
}
