// The harness's own parts that need no array: command-line parsing, JSON
// lines of compare items, the independent tree listing, and the one-line
// error text.
#include "tools/CommandLine.h"
#include "tools/FileOps.h"
#include "tools/ItemJson.h"
#include "tools/ItemText.h"
#include "tools/TreeListing.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/stat.h>

using namespace snapagent;

TEST(SnapagentCli, ParseNumberAcceptsOnlyPlainDecimalsInRange) {
    struct Case {
        const char* text;
        uint64_t max;
        bool ok;
        uint64_t value;
    } cases[] = {
        {"0", 10, true, 0},          {"10", 10, true, 10},      {"11", 10, false, 0},
        {"", 10, false, 0},          {"-1", 10, false, 0},      {"+1", 10, false, 0},
        {" 1", 10, false, 0},        {"0x1", 10, false, 0},     {"1e3", 5000, false, 0},
        {"4294967295", 4294967295u, true, 4294967295u},
        {"4294967296", 4294967295u, false, 0},
        {"18446744073709551615", UINT64_MAX, true, UINT64_MAX},
        {"18446744073709551616", UINT64_MAX, false, 0},
        {"000000000000000000001", UINT64_MAX, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        uint64_t value = 0;
        EXPECT_EQ(ParseNumber(c.text, c.max, value), c.ok);
        if (c.ok) {
            EXPECT_EQ(value, c.value);
        }
    }
}

TEST(SnapagentCli, JobOptionsAreCheckedBeforeAnythingRuns) {
    struct Case {
        std::vector<std::string> args;
        const char* error;  // null: accepted
    } cases[] = {
        {{"--config", "c", "--client", "2", "--job", "5", "/mnt/a"}, nullptr},
        {{"--config=c", "--client=2", "--job=5", "--prev=4", "--json", "/mnt/a", "/mnt/b"}, nullptr},
        {{"--client", "2", "--job", "5", "/mnt/a"}, "--config is required"},
        {{"--config", "c", "--job", "5", "/mnt/a"}, "--client is required"},
        {{"--config", "c", "--client", "2", "/mnt/a"}, "--job is required"},
        {{"--config", "c", "--client", "-2", "--job", "5", "/mnt/a"}, "--client wants"},
        {{"--config", "c", "--client", "4294967296", "--job", "5", "/mnt/a"}, "--client wants"},
        {{"--config", "c", "--client", "2", "--job", "5x", "/mnt/a"}, "--job wants"},
        {{"--config", "c", "--client", "2", "--job", "5", "--prev", "5", "/mnt/a"},
         "--prev must name an earlier job"},
        {{"--config", "c", "--client", "2", "--job", "4", "--prev", "9", "/mnt/a"},
         "--prev must name an earlier job"},
        {{"--config", "c", "--client", "2", "--job", "0", "/mnt/a"}, "--job must be 1 or more"},
        {{"--config", "c", "--client", "2", "--job", "5"}, "name at least one SHARE"},
        {{"--config", "c", "--client", "2", "--job", "5", "--bogus", "/mnt/a"},
         "unknown option --bogus"},
        {{"--config", "c", "--client", "2", "--job", "5", "/mnt/a", "--results"},
         "--results needs a value"},
        {{"--config", "c", "--client", "2", "--job", "5", "--json=1", "/mnt/a"},
         "--json takes no value"},
        {{"--quiet", "--verbose", "--config", "c", "--client", "2", "--job", "5", "/mnt/a"},
         "exclude each other"},
        {{"--config", "c", "--client", "2", "--job", "5", "--", "--odd-share"}, nullptr},
    };
    for (const Case& c : cases) {
        std::string joined;
        for (const auto& a : c.args) joined += a + " ";
        SCOPED_TRACE(joined);
        JobOptions options;
        std::string error;
        const bool ok = ParseJobOptions(c.args, options, error);
        if (!c.error) {
            EXPECT_TRUE(ok) << error;
        } else {
            EXPECT_FALSE(ok);
            EXPECT_NE(error.find(c.error), std::string::npos) << error;
        }
    }

    JobOptions options;
    std::string error;
    ASSERT_TRUE(ParseJobOptions({"--config", "c.ini", "--client", "3", "--job", "12", "--prev",
                                 "11", "--app2", "15", "--results", "/r", "--json", "/mnt/a",
                                 "/mnt/b"},
                                options, error));
    EXPECT_EQ(std::make_tuple(options.strConfig, options.plan.ulClientId, options.plan.llJobId,
                              options.plan.llPrevJobId, options.plan.ulAppId2, options.bResultsGiven,
                              options.plan.strResultsDir, options.bJson),
              std::make_tuple(std::string("c.ini"), 3ul, 12ll, 11ll, 15ul, true, std::string("/r"), true));
    EXPECT_EQ(options.plan.shares, (std::list<std::string>{"/mnt/a", "/mnt/b"}));
    EXPECT_EQ(DefaultResultsDir("/state", 3, 12), "/state/client3/job12");
    ASSERT_TRUE(ParseJobOptions({"--help"}, options, error));
    EXPECT_TRUE(options.common.bHelp);

    // The demo takes options only.
    DemoOptions demo;
    EXPECT_TRUE(ParseDemoOptions({"--quiet", "--non-cluster", "--keep"}, demo, error));
    EXPECT_EQ(std::make_tuple(Verbosity::kQuiet, false, true),
              std::make_tuple(demo.common.verbosity, demo.bCluster, demo.bKeep));
    EXPECT_FALSE(ParseDemoOptions({"extra"}, demo, error));
    EXPECT_NE(error.find("takes no arguments"), std::string::npos);
}

TEST(SnapagentCli, JsonLinesKeepEveryByteOfAPath) {
    struct Case {
        std::string bytes;
        bool utf8;
    } cases[] = {
        {"plain", true},           {"caf\xC3\xA9", true},      {"\xF0\x9F\x98\x80", true},
        {"raw\xFF", false},        {"\xC3", false},            {"\xC0\xAF", false},  // overlong "/"
        {"\xED\xA0\x80", false},   {"\xF4\x90\x80\x80", false}, {"", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(LowerHex(c.bytes));
        EXPECT_EQ(IsValidUtf8(c.bytes), c.utf8);
        FileServerSnapshotCompareItem item;
        item.uiStatus = kItemCreated;
        item.strPath = "/mnt/a/" + c.bytes;
        item.stItemInfo.ullInode = 42;
        item.stItemInfo.uiMode = 0x8000;
        item.stItemInfo.bRenamed = true;
        nlohmann::json line = nlohmann::json::parse(ItemJsonLine("/mnt/a", item));
        EXPECT_EQ(line["path_hex"], LowerHex(item.strPath));
        if (c.utf8) {
            EXPECT_EQ(line["path"], item.strPath);
        } else {
            EXPECT_TRUE(line["path"].is_null());
        }
        EXPECT_EQ(line["status"], 1);
        EXPECT_EQ(line["inode"], 42);
        EXPECT_EQ(line["renamed"], true);
        EXPECT_EQ(line["share"], "/mnt/a");
    }
    EXPECT_EQ(LowerHex(std::string("\x00\xAB", 2)), "00ab");
}

TEST(SnapagentCli, TextFormsStayOnOneLine) {
    EXPECT_EQ(PrintablePath("a b\\c\xFF\n"), "a b\\\\c\\xFF\\x0A");
    // Valid UTF-8 as it is; C1 controls, overlong forms and cut sequences as bytes.
    EXPECT_EQ(PrintablePath("caf\xC3\xA9 \xE2\x82\xAC\xC2\x85\xC0\xAF\xE2\x82"),
              "caf\xC3\xA9 \xE2\x82\xAC\\xC2\\x85\\xC0\\xAF\\xE2\\x82");
    EXPECT_EQ(OneLine("Error 1627: failed\n  at f()\n\n  at g()\n"), "Error 1627: failed | at f() | at g()");
    EXPECT_EQ(StatusName(9), "status 9");
    FileServerSnapshotCompareItem item;
    item.uiStatus = kItemCreated;
    item.strPath = "/s/new";
    item.strOldPath = "/s/old";
    item.stItemInfo.bRenamed = true;
    EXPECT_EQ(DescribeItem(item), "created  /s/new (renamed from /s/old)");

    // The deleted half of a rename ("old/", same inode, right before) joins
    // the renamed item; a deletion that is not one stays as it is.
    FileServerSnapshotCompareItem gone;
    gone.uiStatus = kItemDeleted;
    gone.strPath = gone.strOldPath = "/s/old/";
    ChangeLines lines;
    EXPECT_TRUE(lines.Add(gone).empty());
    EXPECT_EQ(lines.Add(item), std::vector<std::string>{"renamed  /s/old -> /s/new"});
    EXPECT_TRUE(lines.Add(gone).empty());
    item.stItemInfo.ullInode = 7;
    EXPECT_EQ(lines.Add(item).size(), 2u);
    EXPECT_TRUE(lines.Add(gone).empty());
    EXPECT_EQ(lines.Finish(), std::vector<std::string>{"deleted  /s/old/"});
}

TEST(SnapagentCli, TreeListingIsIndependentAndComplete) {
    std::string base, error;
    ASSERT_TRUE(MakeTempFolder("snapagent-listing-", base, error)) << error;
    ASSERT_TRUE(MakeDirectories(base + "/tree/d/e", error));
    ASSERT_TRUE(MakeDirectories(base + "/tree/.snapshot/s1/d", error));
    ASSERT_TRUE(MakeDirectories(base + "/tree/d/.snapshot/s1", error));
    ASSERT_TRUE(WriteBytes(base + "/tree/d/f", "12345", false, error));
    ASSERT_TRUE(WriteBytes(base + "/tree/n\xFF", "", false, error));
    ASSERT_TRUE(HardLink(base + "/tree/d/f", base + "/tree/d/e/g", error));
    ASSERT_TRUE(SymbolicLink("/etc", base + "/tree/link", error));  // never followed
    ASSERT_TRUE(SymbolicLink(base + "/tree", base + "/via-link", error));

    TreeListing listing;
    ASSERT_TRUE(ListTree(base + "/via-link", listing, error)) << error;
    std::set<std::string> paths;
    for (const auto& e : listing) paths.insert(e.first);
    EXPECT_EQ(paths, (std::set<std::string>{"d", "d/e", "d/e/g", "d/f", "link", "n\xFF"}));
    EXPECT_EQ(listing["d"].type, EntryType::kDirectory);
    EXPECT_EQ(listing["link"].type, EntryType::kSymlink);
    EXPECT_EQ(listing["d/f"].ullSize, 5u);
    EXPECT_EQ(listing["d/f"].ullLinks, 2u);
    EXPECT_EQ(listing["d/f"].ullInode, listing["d/e/g"].ullInode);

    TreeListing copy = listing;
    EXPECT_EQ(CompareTreeShape(listing, copy), "");
    copy["d/f"].ullInode = 999;  // a copy has inodes of its own
    EXPECT_EQ(CompareTreeShape(listing, copy), "");
    copy["d/f"].ullSize = 6;
    copy.erase("link");
    copy["extra"] = TreeEntry();
    const std::string difference = CompareTreeShape(listing, copy);
    EXPECT_NE(difference.find("[d/f] has another size"), std::string::npos) << difference;
    EXPECT_NE(difference.find("[link] missing"), std::string::npos);
    EXPECT_NE(difference.find("[extra] not expected"), std::string::npos);

    EXPECT_FALSE(ListTree(base + "/absent", listing, error));
    EXPECT_NE(error.find("absent"), std::string::npos);
    if (geteuid() != 0) {  // root reads everything
        ASSERT_EQ(chmod((base + "/tree/d/e").c_str(), 0), 0);
        EXPECT_FALSE(ListTree(base + "/tree", listing, error));
        EXPECT_NE(error.find("d/e"), std::string::npos);
    }
    EXPECT_TRUE(RemoveTree(base, error)) << error;
    struct stat st;
    EXPECT_NE(lstat(base.c_str(), &st), 0);

    EXPECT_TRUE(IsAtOrBelow("a/b", "a"));
    EXPECT_TRUE(IsAtOrBelow("a", "a"));
    EXPECT_FALSE(IsAtOrBelow("ab", "a"));
    EXPECT_TRUE(IsAtOrBelow("x", ""));
}
