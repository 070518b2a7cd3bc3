// Seeded random change sequences on a local-array volume with two shares,
// over many job cycles, on a cluster and on an array that is not one: after
// every incremental job the delivered changes of each share must turn the
// previous tree into the current one (Verification.h). Names may hold
// backslashes and escape-like text, and files get several hard links. The
// changes stay inside what the design can describe exactly: no moves
// between shares, and no writes to a file with several names (the array
// reports those at one name only). A file system that reuses a freed
// inode number in the other share moves that inode between the shares; it
// must be verified exactly like any other change. A chain of snapagent jobs
// that fail, stop and change their shares must compare each share from a
// tree the agent holds.
#include "hostlib/FileLogWriter.h"
#include "tests/support/TestSupport.h"
#include "tools/DemoWorld.h"
#include "tools/FileOps.h"
#include "tools/ItemJson.h"
#include "tools/ItemText.h"
#include "tools/TreeListing.h"
#include "tools/VerifiedJobs.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <signal.h>
#include <unistd.h>
#include <cstdlib>
#include <random>
#include <sstream>

using namespace snapagent;
using testsupport::Exit;

namespace {

const int kSeedsPerMode = 10;
const int kCyclesPerSeed = 10;  // incremental jobs after the first full one

class RandomChanges {
public:
    RandomChanges(uint32_t seed, const DemoWorld& world) : m_random(seed), m_world(world) {}

    // Applies between one and eight changes; failed on a failed file
    // operation (a harness fault, not a finding).
    hostlib::Status Apply(std::ostringstream& log) {
        const int count = Pick(1, 8);
        for (int i = 0; i < count; ++i)
            if (hostlib::Status applied = ApplyOne(log); !applied.ok()) return applied;
        return hostlib::Status::OK();
    }

private:
    int Pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(m_random); }

    std::string NewName() {
        static const char* kFlavours[] = {
            "",     " with space", "-\xC3\xA9t\xC3\xA9", "\xFEraw", ".txt", "\\", "\\41", "\\5C41",
            "a\\b", "\\\\"};
        if (Pick(0, 20) == 0) return std::string(++m_backslashes, '\\');
        return "n" + std::to_string(++m_counter) + kFlavours[Pick(0, 9)];
    }

    // Entries of one share's live tree: "" is the share's own directory.
    hostlib::Status Entries(const BuiltShare& share, std::vector<std::string>& dirs,
                            std::vector<std::string>& all) {
        TreeListing listing;
        if (hostlib::Status listed = ListTree(share.strLiveDir, listing); !listed.ok())
            return listed;
        dirs = {""};
        all.clear();
        for (const auto& e : listing) {
            all.push_back(e.first);
            if (e.second.type == EntryType::kDirectory) dirs.push_back(e.first);
        }
        return hostlib::Status::OK();
    }

    static std::string Under(const BuiltShare& share, const std::string& relative) {
        return relative.empty() ? share.strLiveDir : share.strLiveDir + "/" + relative;
    }

    hostlib::Status ApplyOne(std::ostringstream& log) {
        const BuiltShare& share =
            m_world.Shares()[Pick(0, static_cast<int>(m_world.Shares().size()) - 1)];
        std::vector<std::string> dirs, all;
        if (hostlib::Status listed = Entries(share, dirs, all); !listed.ok()) return listed;
        const std::string dir = dirs[Pick(0, static_cast<int>(dirs.size()) - 1)];
        const int kind = all.empty() ? Pick(0, 1) : Pick(0, 6);
        if (kind == 0) {
            const std::string path = Under(share, dir) + "/" + NewName();
            log << "  create " << PrintablePath(path) << "\n";
            return WriteBytes(path, std::string(Pick(0, 40), 'x'), false);
        }
        if (kind == 1) {
            const std::string path = Under(share, dir) + "/" + NewName();
            log << "  mkdir " << PrintablePath(path) << "\n";
            return MakeDirectories(path);
        }
        const std::string target = all[Pick(0, static_cast<int>(all.size()) - 1)];
        const std::string path = Under(share, target);
        struct stat st;
        if (lstat(path.c_str(), &st) != 0) return hostlib::Status::OK();
        if (kind == 2 || kind == 3) {
            if (S_ISDIR(st.st_mode) || st.st_nlink > 1) return hostlib::Status::OK();
            log << "  write " << PrintablePath(path) << "\n";
            return WriteBytes(path, std::string(Pick(1, 30), 'w'), true);
        }
        if (kind == 4) {
            log << "  delete " << PrintablePath(path) << "\n";
            return RemoveTree(path);
        }
        if (kind == 6) {
            if (S_ISDIR(st.st_mode)) return hostlib::Status::OK();
            const std::string link = Under(share, dir) + "/" + NewName();
            log << "  link " << PrintablePath(link) << " to " << PrintablePath(path) << "\n";
            return HardLink(path, link);
        }
        // Rename, possibly into another directory of the same share, never
        // into itself.
        if (IsAtOrBelow(dir, target)) return hostlib::Status::OK();
        const std::string to = Under(share, dir) + "/" + NewName();
        log << "  rename " << PrintablePath(path) << " -> " << PrintablePath(to) << "\n";
        return RenamePath(path, to);
    }

    std::mt19937 m_random;
    const DemoWorld& m_world;
    unsigned m_counter = 0;
    unsigned m_backslashes = 0;
};

std::string Describe(const VerifiedJob& job) {
    std::ostringstream out;
    if (!job.strError.empty()) out << "error: " << job.strError << "\n";
    for (const ShareVerdict& v : job.verdicts) {
        out << v.strSharePath << ": " << v.nDelivered << " delivered\n";
        for (const Finding& f : v.missing)
            out << "  missing " << PrintablePath(f.strPath) << ": " << f.strReason << "\n";
        for (const Finding& f : v.unexpected)
            out << "  unexpected " << PrintablePath(f.strPath) << ": " << f.strReason << "\n";
    }
    for (const ShareResult& s : job.job.shares)
        for (const auto& item : s.items) out << "  item " << DescribeItem(item) << "\n";
    return out.str();
}

void RunSeeds(bool cluster) {
    PluginLoader plugin;
    ASSERT_TRUE(testsupport::IsOk(plugin.Load(PluginLoader::DefaultPath())));
    for (int seed = 1; seed <= kSeedsPerMode; ++seed) {
        WorldSpec plan;
        plan.bCluster = cluster;
        plan.shares = {{"vol", "left"}, {"vol", "right"}};
        plan.strFolderPrefix = "snapagent-property-";
        DemoWorld world;
        ASSERT_TRUE(testsupport::IsOk(world.Build(plan)));
        setenv("SNAPCLIENT_CONFIG", world.ConfigPath().c_str(), 1);
        CFileLogWriter log(3, world.PluginLogPath());
        CLogWriterInterface* previousLog = SetLogWriter(&log);
        struct RestoreLog {
            CLogWriterInterface* previous;
            ~RestoreLog() { SetLogWriter(previous); }
        } restore{previousLog};

        const uint32_t fullSeed = static_cast<uint32_t>(seed) * 7919u + (cluster ? 1u : 0u);
        RandomChanges changes(fullSeed, world);
        std::ostringstream history;
        ASSERT_TRUE(testsupport::IsOk(changes.Apply(history)));
        VerifiedJobs jobs(plugin, world, nullptr);
        VerifiedJob full = jobs.Run(1, 0);
        ASSERT_TRUE(full.strError.empty()) << full.strError;
        for (LONGLONG job = 2; job <= kCyclesPerSeed + 1; ++job) {
            history << "cycle " << job << ":\n";
            ASSERT_TRUE(testsupport::IsOk(changes.Apply(history)));
            VerifiedJob incremental = jobs.Run(job, job - 1);
            if (!incremental.Verified()) world.Keep();
            ASSERT_TRUE(incremental.Verified())
                << "kept " << world.Base() << "\n"
                << "seed " << fullSeed << (cluster ? " (cluster)" : " (not a cluster)") << ", job "
                << job << "\n"
                << Describe(incremental) << "changes so far:\n"
                << history.str();
            for (const ShareVerdict& v : incremental.verdicts)
                for (const LimitCase& c : v.limits)
                    ADD_FAILURE() << "no known limit can arise here: " << c.strWhat;
        }
    }
}

}  // namespace

TEST(SnapagentProperty, RandomChangesAreDeliveredExactlyOnACluster) { RunSeeds(true); }

TEST(SnapagentProperty, RandomChangesAreDeliveredExactlyOnAnArrayThatIsNotACluster) {
    RunSeeds(false);
}

// A chain of jobs run as an operator runs snapagent, each on a random subset
// of three shares (two of one volume, and a whole second volume), from the
// base the job history picks or from a --prev given (a failed job's too);
// some jobs fail (stdout full, an array fault) or are stopped by SIGINT at
// a random moment. The agent holds a share's tree after a job that ran to
// its end backed the share up; every comparison must start from a tree the
// agent holds and turn it into the share's tree at the job's snapshot.
TEST(SnapagentProperty, EveryComparisonStartsFromATreeTheAgentHolds) {
    const char* given = getenv("SNAPAGENT_TEST_SEED");
    const uint32_t seed = given ? static_cast<uint32_t>(strtoul(given, nullptr, 10)) : 20261208u;
    std::mt19937 random(seed);
    auto pick = [&](int low, int high) {
        return std::uniform_int_distribution<int>(low, high)(random);
    };
    WorldSpec plan;
    plan.shares = {{"vol", "left"}, {"vol", "right"}, {"home", ""}};
    plan.strFolderPrefix = "snapagent-chain-";
    DemoWorld world;
    ASSERT_TRUE(testsupport::IsOk(world.Build(plan)));
    const std::string config = testsupport::ReadFile(world.ConfigPath());
    const std::string out = world.Base() + "/snapagent.out";
    const char* const kFaults[] = {"SnapDiffNext 1 vol", "SnapDiffStart 1 home",
                                   "CreateOntapSnap 1 home", "DeleteOntapSnap 1 *",
                                   "OpenConnection 1 *"};
    RandomChanges changes(seed, world);
    std::ostringstream story;
    std::map<LONGLONG, std::map<std::string, TreeListing>> held;  // job -> share -> tree
    for (LONGLONG job = 1; job <= 36; ++job) {
        SCOPED_TRACE("seed " + std::to_string(seed) + " (SNAPAGENT_TEST_SEED), job " +
                     std::to_string(job));
        story << "job " << job << ":\n";
        ASSERT_TRUE(testsupport::IsOk(changes.Apply(story)));
        std::map<std::string, TreeListing> live;
        for (const BuiltShare& s : world.Shares())
            ASSERT_TRUE(testsupport::IsOk(ListTree(s.strLiveDir, live[s.strSharePath])));
        std::vector<std::string> args{
            "job",      "-q", "--json", "--config",         world.ConfigPath(),
            "--client", "1",  "--job",  std::to_string(job)};
        if (job > 1 && pick(0, 3) == 0)
            args.insert(args.end(), {"--prev", std::to_string(pick(0, job - 1))});
        const size_t first = args.size();
        for (const BuiltShare& s : world.Shares())
            if (pick(0, 2) > 0) args.push_back(s.strSharePath);
        if (args.size() == first) args.push_back(world.Shares()[pick(0, 2)].strSharePath);
        const int fate = pick(0, 6);  // 0 stdout full, 1 SIGINT, 2 array fault, else none
        const std::string fault = fate == 2 ? kFaults[pick(0, 4)] : "";
        testsupport::WriteFile(
            world.ConfigPath(),
            config + (fault.empty() ? "" : "\n[faults]\nfault.1 = " + fault + "\n"));
        // snapagent's stdout is opened through this name: /dev/full fills at once.
        if (fate == 0) {
            unlink(out.c_str());
            ASSERT_TRUE(testsupport::IsOk(SymbolicLink("/dev/full", out)));
        }
        const pid_t pid = testsupport::StartSnapagent(
            args, world.Base(), {fate == 1 ? "SNAPAGENT_TEST_PULL_DELAY_MS=5" : "X_=0"});
        ASSERT_GT(pid, 0);
        // The child has its stdout open once it runs: the name goes, so that
        // reading the output back never reads /dev/full.
        if (fate == 0) unlink(out.c_str());
        if (fate == 1) {
            usleep(static_cast<useconds_t>(pick(0, 250)) * 1000);
            kill(pid, SIGINT);
        }
        const Exit run = testsupport::WaitSnapagent(pid, world.Base());
        for (size_t i = first; i < args.size(); ++i) story << "  share " << args[i] << "\n";
        story << "  fate " << fate << " " << fault
              << (first > 9 ? " --prev " + args[first - 1] : "") << ": exit " << run.status << "\n"
              << run.err;
        if (!run.bExited || (run.status != 0 && run.status != 3)) continue;
        std::map<std::string, std::vector<FileServerSnapshotCompareItem>> items;
        LONGLONG prev = -1;
        for (const std::string& text : testsupport::SplitLines(run.out)) {
            const nlohmann::json line = nlohmann::json::parse(text);
            std::string share;
            if (line.contains("job") || !BytesOfHex(line["share_hex"], share)) continue;
            if (!line.contains("outcome")) {
                FileServerSnapshotCompareItem item;
                item.uiStatus = line["status"];
                BytesOfHex(line["path_hex"], item.strPath);
                BytesOfHex(line["old_path_hex"], item.strOldPath);
                item.stItemInfo.ullInode = line["inode"];
                item.stItemInfo.uiMode = line["mode"];
                item.stItemInfo.bRenamed = line["renamed"];
                items[share].push_back(item);
            } else if (line["outcome"] == "full") {
                held[job][share] = live[share];
            } else if (line["outcome"] == "compared") {
                if (prev < 0) {
                    const Exit history = testsupport::RunSnapagent(
                        {"history", "--client", "1", "--json"}, world.Base());
                    prev =
                        nlohmann::json::parse(testsupport::SplitLines(history.out).back())["prev"];
                }
                ASSERT_TRUE(held[prev].count(share)) << share << " compared from job " << prev
                                                     << ", which gave the agent no tree of it\n"
                                                     << story.str();
                const ShareVerdict verdict =
                    VerifyJob({{share, "", held[prev][share], live[share], items[share]}}).at(0);
                ASSERT_TRUE(verdict.Verified())
                    << share << " from job " << prev << ": " << verdict.missing.size()
                    << " missing, " << verdict.unexpected.size() << " unexpected\n"
                    << story.str();
                held[job][share] = live[share];
            }
        }
    }
}

// The judge itself: without it catching a lost or a false change the runs
// above would prove nothing.
TEST(SnapagentProperty, VerificationCatchesMissingAndUnexpectedChanges) {
    auto file = [](uint64_t inode) {
        TreeEntry e;
        e.ullInode = inode;
        e.ullSize = 10;
        return e;
    };
    auto item = [](uint32_t status, const std::string& path, uint64_t inode) {
        FileServerSnapshotCompareItem i;
        i.uiStatus = status;
        i.strPath = path;
        i.stItemInfo.ullInode = inode;
        i.stItemInfo.uiMode = 0x8000;
        return i;
    };
    ShareChanges share{
        "/s", "v", {{"top.txt", file(30)}}, {{"top.txt", file(30)}, {"new.txt", file(40)}}, {}};
    const std::pair<std::vector<FileServerSnapshotCompareItem>, std::pair<size_t, size_t>> rows[] =
        {
            {{item(kItemCreated, "/s/new.txt", 40)}, {0, 0}},
            {{}, {1, 0}},
            {{item(kItemCreated, "/s/new.txt", 40), item(kItemDeleted, "/s/ghost", 77)}, {0, 1}},
            {{item(kItemCreated, "/s/new.txt", 40), item(kItemDeleted, "/s/top.txt", 30)}, {1, 0}},
        };
    for (const auto& row : rows) {
        share.items = row.first;
        const ShareVerdict verdict = VerifyJob({share}).at(0);
        EXPECT_EQ(row.second.first, verdict.missing.size()) << row.first.size();
        EXPECT_EQ(row.second.second, verdict.unexpected.size()) << row.first.size();
    }
}
