// Placing reported SnapDiff paths under shares: fuzzed shares (backup path,
// volume path, volume name, including volume paths of shapes the array never
// sends) and fuzzed paths. The scan's ShareMatcher must place every path
// byte for byte as the client's IsEventPartOfBackupPaths does; a path that
// matches must come out under a share's backup path, one that does not must
// come out untouched. Most pieces come from a few tokens, so that the shares
// and paths run into each other (/a and /ab, /a_b, doubled and trailing "/",
// nested and whole-volume shares); some are any bytes. The snapshot
// directory test runs on the same bytes.
#include "fuzz/FuzzSupport.h"
#include "snapclient/ShareMatcher.h"

#include <fuzzer/FuzzedDataProvider.h>
#include <algorithm>
#include <cstdlib>
#include <iterator>

namespace {

std::string WithSlashes(std::string text) {
    for (char& c : text)
        if (c == '\\') c = '/';
    return text;
}

std::string Piece(FuzzedDataProvider& input, size_t maxLength) {
    static const char* const kTokens[] = {"/", "a",  "b",   "_",    "\\",
                                          ".", "/a", "/ab", "vola", "/vol/"};
    if (input.ConsumeIntegralInRange(0, 3) == 0) return input.ConsumeRandomLengthString(maxLength);
    std::string text;
    for (int tokens = input.ConsumeIntegralInRange(0, 6); tokens > 0; --tokens)
        text += kTokens[input.ConsumeIntegralInRange<size_t>(0, std::size(kTokens) - 1)];
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CNetAppSnapClient* client = &fuzzsupport::QuietClient();
    if (!ShareMatcher::StandsInFor(*client)) abort();
    FuzzedDataProvider input(data, size);
    std::list<FileServerExportInfo> shares(input.ConsumeIntegralInRange<int>(0, 6));
    for (FileServerExportInfo& share : shares) {
        share.strBackupPath = Piece(input, 64);
        share.strVolume = input.ConsumeBool() ? "vola" : Piece(input, 16);
        share.strVolumePath =
            (input.ConsumeBool() ? "/vol/" + share.strVolume : "") + Piece(input, 64);
    }
    const ShareMatcher matcher(shares);
    while (input.remaining_bytes() > 0) {
        const std::string original = Piece(input, 256);
        client->CheckIfSnapPath(original);
        std::string path = original;
        std::string placed = "untouched";
        const bool matched = client->IsEventPartOfBackupPaths(shares, path);
        if (matched != (matcher.Place(original, placed) != nullptr)) abort();
        if (placed != (matched ? path : "untouched") || (!matched && path != original)) abort();
        if (!matched) continue;
        if (std::none_of(shares.begin(), shares.end(), [&path](const FileServerExportInfo& share) {
                return path.compare(0, share.strBackupPath.size(),
                                    WithSlashes(share.strBackupPath)) == 0;
            }))
            abort();
    }
    return 0;
}
