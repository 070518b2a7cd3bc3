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
#include "snapclient/shares/ShareMatcher.h"

#include <fuzzer/FuzzedDataProvider.h>
#include <cstdlib>
#include <iterator>

namespace {

std::string WithSlashes(std::string text) {
    for (char& c : text)
        if (c == '\\') c = '/';
    return text;
}

// The first share, in list order, whose in-volume path begins path by whole
// components, or null; a whole-volume share takes every path.
const FileServerExportInfo* WalkShares(const std::list<FileServerExportInfo>& shares,
                                       const std::string& path, size_t& length) {
    for (const FileServerExportInfo& share : shares) {
        size_t start = 0;
        if (!ShareInVolumeRange(share, start, length)) continue;
        if (length == 0 || (path.compare(0, length, share.strVolumePath, start, length) == 0 &&
                            (path.size() == length || path[length] == '/')))
            return &share;
    }
    return nullptr;
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
    FuzzedDataProvider input(data, size);
    std::list<FileServerExportInfo> shares(input.ConsumeIntegralInRange<int>(0, 6));
    for (FileServerExportInfo& share : shares) {
        share.strBackupPath = Piece(input, 64);
        share.strVolume = input.ConsumeBool() ? "vola" : Piece(input, 16);
        share.strVolumePath =
            (input.ConsumeBool() ? "/vol/" + share.strVolume : "") + Piece(input, 64);
    }
    while (input.remaining_bytes() > 0) {
        const std::string original = Piece(input, 256);
        client->CheckIfSnapPath(original);
        std::string path = original;
        const bool matched = client->IsEventPartOfBackupPaths(shares, path);
        size_t length = 0;
        const FileServerExportInfo* share = WalkShares(shares, original, length);
        const std::string placed =
            share ? WithSlashes(share->strBackupPath + original.substr(length)) : original;
        if (matched != (share != nullptr) || path != placed) abort();
    }
    return 0;
}
