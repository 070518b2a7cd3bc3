// Decoding of escaped SnapDiff file names, the decode buffer's life, and a
// comparison whose decode buffer cannot be allocated.
#include "tests/support/ClientEnv.h"

#include <new>

namespace {
// Nothrow array allocations fail while this is above zero (one per call).
int g_failingNothrowArrayNews = 0;
}  // namespace

// The decode buffer is the only nothrow array allocation of the client; this
// lets a test make it fail without exhausting the machine.
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    if (g_failingNothrowArrayNews > 0) {
        --g_failingNothrowArrayNews;
        return nullptr;
    }
    try {
        return ::operator new[](size);
    } catch (...) {
        return nullptr;
    }
}

namespace {

using namespace scantest;

// The common names (UTF-8 bytes, doubled escapes, plain names) are checked
// end to end by the job scenarios; these are the edges. The buffer may grow
// or move; the sanitizer build sees one that is lost.
TEST(ScanDecode, NamesDecodeAsTheArrayEscapesThem) {
    // onePass: the first pass's result, reported when a second pass ran.
    const struct {
        std::string name;
        std::string decoded;
        std::string onePass;
    } cases[] = {
        {"\\5C\\5C41", "\\A", "\\\\41"},  // second pass decodes what the first uncovered
        {"end\\", "end\\", "end\\"},
        {std::string("a\0b\\41", 6), "a", ""},
        {"x\\\xC3\xA9", "x\\\xC3\xA9", "x\\\xC3\xA9"},  // bytes above 0x7F are not digits
        {"\\", "\\", "\\"},
        {"", "", ""},
    };
    testsupport::TempDir dir;
    ScanClient client(dir.Path());
    for (const auto& c : cases) {
        unsigned char* buffer = new unsigned char[4];
        size_t size = 4;
        std::string name = c.name, onePass = "stale";
        EXPECT_TRUE(client.SnapDiffRemoveEscapeSequence(name, buffer, size, &onePass)) << c.name;
        EXPECT_EQ(c.decoded, name) << c.name;
        EXPECT_EQ(c.onePass, onePass) << c.name;
        delete[] buffer;
    }
}

// A comparison whose buffer cannot be had at the start still decodes (the
// first escaped name allocates); when that fails too the comparison fails
// and ends its SnapDiff session, leaving no buffer behind (the sanitizer
// build would see a dangling one).
TEST(ScanDecode, ComparisonSurvivesOrFailsCleanlyWithoutABuffer) {
    const struct {
        int failingAllocations;
        bool ok;
    } cases[] = {{1, true}, {2, false}};
    for (const auto& c : cases) {
        ArrayScript script;
        script.mapSnapDiffs[DiffKey("vola")].vecBatches = {
            Batch({Change(5, "file_creation", "/a/x\\20y")})};
        ScanEnv env(script);
        env.client.Shares() = {Share("/mnt/a", "/vol/vola/a", "vola")};
        std::function<FileServerSnapshotCompareItem()> source;
        g_failingNothrowArrayNews = c.failingAllocations;
        CRyError err = env.client.CompareSnapshots("/mnt/a", "", source);
        g_failingNothrowArrayNews = 0;
        if (c.ok) {
            ASSERT_FALSE(err.IsError()) << err.AsString();
            EXPECT_EQ(std::vector<std::string>{"/mnt/a/x y"}, PulledPaths(source));
        } else {
            ASSERT_TRUE(err.IsError());
            EXPECT_EQ(ERROR_OPERATION_ABORTED, err.Win32Code());
            EXPECT_EQ("Processing of escape characters failed for file:[/a/x\\20y]", err.Message());
            EXPECT_FALSE(env.client.Shares().front().bSnapDiffDone);
            EXPECT_FALSE(source);
        }
        EXPECT_EQ(1u, env.array.CallsOf("SnapDiffEnd").size());
        EXPECT_EQ(0u, env.array.Array().OpenSessions());
    }
}

}  // namespace
