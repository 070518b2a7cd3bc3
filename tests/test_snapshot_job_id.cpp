// Which names are the client's snapshots, and of which job: retention, the
// post-backup clean-up and the last good snapshot must read them alike.
#include "snapclient/snapshots/LastGoodSnapshot.h"
#include "snapclient/snapshots/SnapshotJobId.h"

#include <gtest/gtest.h>

namespace {

TEST(SnapshotJobId, ReadsPlainDigitsAfterThePrefixOnly) {
    unsigned long long job = 0;
    EXPECT_TRUE(SnapshotJobId("VKOP_1_0_0812", "VKOP_1_0_", job) && job == 812);
    EXPECT_TRUE(SnapshotJobId("VKOP_1_0_18446744073709551615", "VKOP_1_0_", job) && job == ~0ull);
    // Past 64 bits, more than twenty digits, a sign, a blank, a tail, no id, another prefix.
    for (const char* name :
         {"VKOP_1_0_18446744073709551616", "VKOP_1_0_000000000000000000007", "VKOP_1_0_+7",
          "VKOP_1_0_-7", "VKOP_1_0_ 7", "VKOP_1_0_7x", "VKOP_1_0_", "VKOP_1_1_7", "hourly.0"})
        EXPECT_FALSE(SnapshotJobId(name, "VKOP_1_0_", job)) << name;
    std::vector<SnapShotInfo_t> listed(3);
    listed[0].strName = "VKOP_1_0_+9";
    listed[1].strName = "VKOP_1_0_5";
    listed[2].strName = "VKOP_1_0_6 ";
    EXPECT_EQ("VKOP_1_0_5", LastGoodSnapshot(listed, "VKOP_1_0_", "VKOP_1_0_10"));
}

}  // namespace
