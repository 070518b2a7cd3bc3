// The agent may leave a share's list before its end and compare the next
// share of the volume: the half of a rename held back for the next pull of
// the first share must not become the first item of the second.
#include "tests/support/ClientEnv.h"

namespace {

using namespace scantest;

TEST(ScanShareSwitch, HeldBackRenameHalfStaysWithItsShare) {
    ArrayScript script;
    script.mapSnapDiffs[DiffKey("vola")].vecBatches = {
        Batch({Change(7, "file_deletion", "/a/old.txt"), Change(7, "file_creation", "/a/new.txt"),
               Change(8, "file_creation", "/b/x.txt")},
              true)};
    ScanEnv env(script);
    env.client.Shares() = {Share("/mnt/a", "/vol/vola/a", "vola"),
                           Share("/mnt/b", "/vol/vola/b", "vola")};
    std::function<FileServerSnapshotCompareItem()> source;
    ASSERT_FALSE(env.client.CompareSnapshots("/mnt/a", "", source).IsError());
    EXPECT_EQ("/mnt/a/old.txt/", source().strPath);  // the rename's first half
    ASSERT_FALSE(env.client.CompareSnapshots("/mnt/b", "", source).IsError());
    EXPECT_EQ(std::vector<std::string>{"/mnt/b/x.txt"}, PulledPaths(source));
}

}  // namespace
