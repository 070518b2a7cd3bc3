// Which names are the client's snapshots, and of which job: retention, the
// post-backup clean-up and the last good snapshot must read them alike.
#include "snapclient/snapshots/LastGoodSnapshot.h"
#include "snapclient/snapshots/SnapshotJobId.h"

#include <gtest/gtest.h>

namespace {

TEST(SnapshotJobId, ReadsPlainDigitsAfterThePrefixOnly) {
    const struct {
        const char* name;
        bool ours;
        unsigned long long job;
    } rows[] = {
        {"VKOP_1_0_7", true, 7},
        {"VKOP_1_0_0812", true, 812},
        {"VKOP_1_0_18446744073709551615", true, 18446744073709551615ull},
        {"VKOP_1_0_18446744073709551616", false, 0},   // past 64 bits
        {"VKOP_1_0_000000000000000000007", false, 0},  // more than twenty digits
        {"VKOP_1_0_+7", false, 0},
        {"VKOP_1_0_-7", false, 0},
        {"VKOP_1_0_ 7", false, 0},
        {"VKOP_1_0_7x", false, 0},
        {"VKOP_1_0_", false, 0},
        {"VKOP_1_1_7", false, 0},
        {"hourly.0", false, 0},
    };
    for (const auto& row : rows) {
        unsigned long long job = 0;
        EXPECT_EQ(row.ours, SnapshotJobId(row.name, "VKOP_1_0_", job)) << row.name;
        if (row.ours) {
            EXPECT_EQ(row.job, job) << row.name;
        }
    }
    // A name the clean-ups do not take for the client's is never its last good one.
    std::vector<SnapShotInfo_t> listed(3);
    listed[0].strName = "VKOP_1_0_+9";
    listed[1].strName = "VKOP_1_0_5";
    listed[2].strName = "VKOP_1_0_6 ";
    EXPECT_EQ("VKOP_1_0_5", LastGoodSnapshot(listed, "VKOP_1_0_", "VKOP_1_0_10"));
}

}  // namespace
