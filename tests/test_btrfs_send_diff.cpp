// The btrfs send comparison of two read-only snapshots must give the records
// the catalog merge gives over catalogs of the same snapshots, batch for
// batch, and end its send cleanly however the session ends. The parser of
// the stream refuses damaged input.
#include "array/local/BtrfsSendSnapDiff.h"
#include "array/local/CatalogRowOf.h"
#include "array/local/LocalArrayOperator.h"
#include "array/local/LocalArraySnapDiff.h"
#include "tests/support/LoopMount.h"

#include <dirent.h>
#include <gtest/gtest.h>

using namespace testsupport;

namespace {

std::string Command(uint16_t type, const std::vector<std::pair<uint16_t, std::string>>& attrs) {
    std::string body;
    for (const auto& a : attrs) {
        uint16_t head[2] = {a.first, uint16_t(a.second.size())};
        body += std::string(reinterpret_cast<const char*>(head), 4) + a.second;
    }
    uint32_t length = body.size(), crc = 0;
    std::string out = std::string(reinterpret_cast<const char*>(&length), 4) +
                      std::string(reinterpret_cast<const char*>(&type), 2) + std::string(4, '\0') +
                      body;
    crc = btrfssend::Crc32c(0, out.data(), out.size());
    return out.replace(6, 4, reinterpret_cast<const char*>(&crc), 4);
}

TEST(BtrfsSendStream, ChecksEveryCommandAndRefusesGarbage) {
    const std::string header("btrfs-stream\0\1\0\0\0", 17);
    const std::string snap = Command(2, {{15, "v"}}), end = Command(21, {});
    const std::string sample = header + snap + Command(11, {{15, "d/f"}}) + end;
    std::string badCrc = sample, huge = header + snap;
    badCrc[header.size() + snap.size() + 12] ^= 1;
    huge += std::string("\xff\xff\xff\x7f\x0b\0\0\0\0\0", 10);
    const struct {
        std::string bytes, error;
    } cases[] = {
        {sample, ""},
        {sample.substr(0, sample.size() - 1), "without its end"},
        {"btrfs-strea\0\0\1\0\0\0" + snap + end, "not a btrfs send stream"},
        {std::string("btrfs-stream\0\3\0\0\0", 17) + end, "version 3"},
        {badCrc, "CRC32C"},
        {header + Command(99, {}) + end, "unknown command 99"},
        {header + Command(23, {}) + end, "unknown command 23"},
        {huge, "command of"},
        {sample + end, "after the end"},
    };
    for (const auto& c : cases)
        for (size_t chunk : {size_t(1), size_t(7), c.bytes.size()}) {
            std::vector<std::string> paths;
            btrfssend::SendStreamParser parser([&](const btrfssend::SendCommand& cmd) {
                paths.push_back(cmd.Text(15));
                return hostlib::Status::OK();
            });
            hostlib::Status status;
            for (size_t at = 0; status.ok() && at < c.bytes.size(); at += chunk)
                status = parser.Feed(c.bytes.data() + at, std::min(chunk, c.bytes.size() - at));
            if (status.ok()) status = parser.Finish();
            EXPECT_EQ(c.error.empty(), status.ok()) << c.error << " " << status.message();
            EXPECT_NE(std::string::npos, status.message().find(c.error)) << status.message();
            if (c.error.empty()) {
                EXPECT_EQ((std::vector<std::string>{"v", "d/f", ""}), paths);
            }
        }
    // An attribute that claims more bytes than its command holds.
    std::string cut = Command(11, {{15, "abc"}});
    cut[12] = 9;
    uint32_t crc = 0;
    cut.replace(6, 4, reinterpret_cast<const char*>(&crc), 4);
    crc = btrfssend::Crc32c(0, cut.data(), cut.size());
    cut.replace(6, 4, reinterpret_cast<const char*>(&crc), 4);
    btrfssend::SendStreamParser parser(
        [](const btrfssend::SendCommand&) { return hostlib::Status::OK(); });
    EXPECT_NE(
        std::string::npos,
        parser.Feed((header + cut).data(), header.size() + cut.size()).message().find("runs past"));
}

bool Sh(const std::string& dir, const std::string& script) {
    return system(("cd '" + dir + "' && (" + script + ") >/dev/null 2>&1").c_str()) == 0;
}

// One subvolume of a loop-mounted btrfs and its read-only snapshots s0, s1...
class BtrfsSendDiff : public ::testing::Test {
protected:
    void SetUp() override {
        SKIP_UNLESS_MOUNTED(mount);
        ASSERT_TRUE(Sh(mount.Path(), "btrfs subvolume create v"));
    }
    std::string Snapshot() {
        std::string name = "s" + std::to_string(snapshots++);
        EXPECT_TRUE(Sh(mount.Path(), "btrfs subvolume snapshot -r v " + name));
        return name;
    }
    std::string Records(SnapDiffSource& source) {
        std::string out;
        for (bool end = false; !end;) {
            std::vector<SnapDiffFileInfo> batch;
            hostlib::Status status = source.Next(batch, end);
            if (!status.ok()) return "failed: " + status.message();
            for (const SnapDiffFileInfo& r : batch)
                out += r.strChangeType + " " + r.strFileName + " " + std::to_string(r.ullInode) +
                       " " + std::to_string(r.uiFileType) + " " + std::to_string(r.ullFileSize) +
                       " " + std::to_string(r.llAttribute) + " " + std::to_string(r.llMtime) + " " +
                       std::to_string(r.llCtime) + " " + std::to_string(r.llAtime) + "\n";
            out += "-- end of batch\n";
        }
        return out;
    }
    std::string Catalog(const std::string& snapshot) {
        std::string path = scratch / (snapshot + ".cat");
        CatalogWriter writer(path, 1 << 20);
        hostlib::Status status = WalkLiveTree(
            mount.Path() + "/" + snapshot, {""},
            [&](LiveTreeEntry& e, bool&) { return writer.Add(BtrfsSnapshotRowOf(e)); });
        if (status.ok()) status = writer.Finish();
        EXPECT_TRUE(status.ok()) << status.message();
        return path;
    }
    // The btrfs records from base to incremental, once both sources agree.
    std::string Compare(const std::string& base, const std::string& incremental) {
        std::string send;
        for (bool cluster : {true, false}) {
            SnapDiffNaming naming{cluster, "v", base, incremental};
            SnapDiffMerge merge(naming, 256);
            EXPECT_TRUE(merge.Open(Catalog(base), Catalog(incremental)).ok());
            BtrfsSendSnapDiff diff(naming, 256);
            hostlib::Status status =
                diff.Open(mount.Path() + "/" + base, mount.Path() + "/" + incremental, {""});
            EXPECT_TRUE(status.ok()) << status.message();
            send = Records(diff);
            EXPECT_EQ(Records(merge), send) << base << " -> " << incremental;
        }
        return send;
    }
    LoopMount mount{"btrfs", 1024};
    TempDir scratch;
    int snapshots = 0;
};

TEST_F(BtrfsSendDiff, GivesTheCatalogMergesRecordsForEachKindOfChange) {
    const char* setup =
        "mkdir -p d/e x && echo 1 > a && echo 2 > d/b && ln a d/a-link && ln -s a sym && "
        "echo 3 > d/e/c && mkfifo p && echo 4 > x/f";
    const struct {
        const char* change;
        size_t records;  // at least
    } cases[] = {
        {"true", 0},
        {"echo n > new && mkdir d/new && ln -s new d/e/s", 4},
        {"rm d/b && rm -r d/e", 4},
        {"mv a a2 && mv d/b b && mv d d2", 6},
        {"mv d x/ && mv x y", 4},
        {"ln a d/e/a3 && rm d/a-link", 4},
        {"rm a && mkdir a && rm sym && echo s > sym", 5},
        {"chmod 600 a && chown 7:8 d/b && setfattr -n user.k -v v x/f && touch -d 2001-01-01 d/e/c",
         4},
        {"t=$(stat -c %y x/f) && printf 9 > x/f && printf 4 > x/f && touch -d \"$t\" x/f", 1},
        {"mv a t && mv d/b a && mv t d/b && mv d/e e && mv x d/e && mv e x", 8},
        {"mkdir -p q/r/s && mv d/e q/r/s/ && rm -r d && mkdir d && echo > d/b", 8},
        {"rm p && mkfifo d/p && mv x/f x/g", 3},
        {"for i in $(seq 300); do echo $i > x/f$i; done", 301},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(Sh(mount.Path(), "btrfs subvolume delete v && btrfs subvolume create v"));
        ASSERT_TRUE(Sh(mount.Path() + "/v", setup));
        std::string base = Snapshot();
        ASSERT_TRUE(Sh(mount.Path() + "/v", c.change)) << c.change;
        std::string records = Compare(base, Snapshot());
        EXPECT_LE(c.records, size_t(std::count(records.begin(), records.end(), '\n')) - 1)
            << c.change << "\n"
            << records;
    }
}

size_t Threads() {
    size_t n = 0;
    DIR* dir = opendir("/proc/self/task");
    while (dir && readdir(dir)) ++n;
    if (dir) closedir(dir);
    return n;
}

// A session ended or stopped while the send still writes ends it, leaving no
// thread behind; a send it cannot make fails with the reason.
TEST_F(BtrfsSendDiff, EndsItsSendCleanly) {
    std::string base = Snapshot();
    ASSERT_TRUE(
        Sh(mount.Path() + "/v", "for i in $(seq 3000); do : > file-with-a-long-name-$i; done"));
    std::string incremental = Snapshot();
    const size_t threads = Threads();
    LocalArrayOperator stopping;
    stopping.stopRequested = [] { return true; };
    for (bool stop : {false, true}) {
        BtrfsSendSnapDiff diff(SnapDiffNaming(), 256);
        ASSERT_TRUE(
            diff.Open(mount.Path() + "/" + base, mount.Path() + "/" + incremental, {""}).ok());
        if (!stop) continue;
        SetLocalArrayOperator(stopping);
        std::vector<SnapDiffFileInfo> batch;
        bool end = false;
        EXPECT_EQ(hostlib::Status::kAborted, diff.Next(batch, end).code());
        SetLocalArrayOperator(LocalArrayOperator());
    }
    EXPECT_EQ(threads, Threads());
    BtrfsSendSnapDiff writable(SnapDiffNaming(), 256), elsewhere(SnapDiffNaming(), 256);
    ASSERT_TRUE(writable.Open(mount.Path() + "/" + base, mount.Path() + "/v", {""}).ok());
    EXPECT_NE(std::string::npos, Records(writable).find("read-only snapshots"));
    EXPECT_NE(std::string::npos, elsewhere.Open(scratch.Path(), mount.Path() + "/v", {""})
                                     .message()
                                     .find("not a btrfs snapshot"));
}

}  // namespace
