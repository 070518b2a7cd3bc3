// The merge of one inode's reports, from the reports SnapDiff sends to the
// items the agent pulls, without a client or a store: a map stands in for
// the store (one event per inode), read share by share as our store reads a
// share (its events, then those that left it) and as a host store without
// share reads is read (by prefix, then the inodes the merge remembered).
// Both reads must give the agent the same items.
#include "snapclient/merge/ChangeMerge.h"
#include "snapclient/shares/ShareMatcher.h"

#include <gtest/gtest.h>

#include <map>

namespace {

struct Row {
    // "<inode><kind><path>" each, kind c created, C created without a changed
    // time, m modified, d deleted, ? another text; report i happens at i + 1.
    std::vector<std::string> reports;
    // "<status> <path>[ <- <old path>][ R(enamed)][ dir] @<atime>,<ctime>", the
    // reads of /s/ then /t/; the deletion of an old name shows that name.
    std::vector<std::string> items;
};

ChangeEventItem EventOf(const std::string& report, long long time) {
    ChangeEventItem event;
    size_t kind = 0;
    event.llInode = std::stoll(report, &kind);
    event.strPath = report.substr(kind + 1);
    const char k = report[kind];
    event.strChangeType = k == 'm'   ? kChangeTextModified
                          : k == 'd' ? kChangeTextDeleted
                          : k == '?' ? "file_renamed"
                                     : kChangeTextCreated;
    event.uiChangeFlags = ChangeFlagOfText(event.strChangeType);
    event.uiFileType = 1;
    event.llAtime = event.llMtime = time;
    event.llCtime = k == 'C' ? -1 : time;
    return event;
}

std::string Text(const ChangeEventItem& e, const ChangeMerge::Delivery& d) {
    std::string text = std::to_string(d.uiStatus) + " " + (d.bOldName ? e.strOldPath : e.strPath);
    if (!d.bOldName && !e.strOldPath.empty()) text += " <- " + e.strOldPath;
    if (d.bRenamed) text += " R";
    if (e.uiFileType == kFileTypeDirectory) text += " dir";
    return text + " @" + std::to_string(e.llAtime) + "," + std::to_string(e.llCtime);
}

std::vector<std::string> Items(const std::vector<std::string>& reports, bool trackMovedOut) {
    ChangeMerge merge;
    merge.StartRun({"/s/", "/t/"}, trackMovedOut);
    std::map<long long, ChangeEventItem> store;
    for (size_t i = 0; i < reports.size(); ++i) {
        ChangeEventItem event = EventOf(reports[i], static_cast<long long>(i) + 1);
        auto inserted = store.emplace(event.llInode, event);
        if (inserted.second) continue;
        ChangeEventItem stored = inserted.first->second;
        const ChangeEventItem* written = merge.Merge(stored, event);
        EXPECT_TRUE(merge.Refused().empty());
        if (!written) continue;
        inserted.first->second = *written;
        std::string lost;
        EXPECT_TRUE(merge.NoteWritten(*written, lost));
    }
    merge.KeepRun("vola");

    std::vector<std::string> items;
    ChangeMerge::Delivery delivery;
    auto deliver = [&](ChangeEventItem event) {
        delivery = merge.Deliver(event);
        items.push_back(Text(event, delivery));
        while (merge.TakeHeld(event, delivery)) items.push_back(Text(event, delivery));
    };
    for (const std::string prefix : {"/s/", "/t/"}) {
        merge.StartRead("vola", prefix);
        auto leftShare = [&](const ChangeEventItem& e) {
            return !merge.InReadShare(e.strPath) && !e.strOldPath.empty() &&
                   merge.InReadShare(e.strOldPath);
        };
        for (int pass = 0; pass < (trackMovedOut ? 1 : 2); ++pass)  // its events, those that left
            for (const auto& e : store)
                if (pass ? leftShare(e.second) : merge.InReadShare(e.second.strPath))
                    deliver(e.second);
        for (long long inode = 0; merge.NextMovedOut(inode);)
            if (leftShare(store[inode])) deliver(store[inode]);
        while (const ChangeEventItem* name = merge.NextExtraName()) {
            delivery = ChangeMerge::Delivery();
            delivery.uiStatus = ChangeMerge::StatusOfChange(name->uiChangeFlags);
            items.push_back(Text(*name, delivery));
        }
    }
    return items;
}

TEST(ChangeMerge, ReportsOfOneInodeGiveTheAgentEachNameOnce) {
    const Row rows[] = {
        // A rename.
        {{"1d/s/a/", "1c/s/b/"}, {"4 /s/a/ dir @1,1", "1 /s/b/ <- /s/a/ R @1,1"}},
        // A rename reported the other way round.
        {{"1c/s/b/", "1d/s/a/"}, {"4 /s/a/ dir @2,2", "1 /s/b/ <- /s/a/ R @2,2"}},
        // A hard link removed while another name stays.
        {{"1m/s/f/", "1d/s/g/"}, {"4 /s/g/ dir @2,2", "2 /s/f/ @2,2"}},
        // Deleted and modified under one name: the file is gone.
        {{"1m/s/f/", "1d/s/f/"}, {"4 /s/f/ <- /s/f/ dir @2,2"}},
        // A deletion, then a modification of another name.
        {{"1d/s/a/", "1m/s/b/"}, {"4 /s/a/ dir @1,1", "2 /s/b/ @1,1"}},
        // Created and modified.
        {{"1c/s/f/", "1m/s/f/"}, {"1 /s/f/ @1,1"}},
        // Created, deleted and modified.
        {{"1c/s/b/", "1d/s/a/", "1m/s/b/"}, {"3 /s/b/ <- /s/a/ R @2,2"}},
        // A creation without a changed time takes its accessed time.
        {{"1m/s/f/", "1C/s/f/"}, {"1 /s/f/ @2,2"}},
        // A file that gains two names: the second is a name of its own.
        {{"1c/s/a/", "1c/s/b/"}, {"1 /s/a/ @1,1", "1 /s/b/ @2,2"}},
        // A report of no known kind stays alone and is dropped when repeated.
        {{"1?/s/odd/", "2c/s/a/", "2?/s/a2/"}, {"2 /s/odd/ @1,1", "1 /s/a/ @2,2"}},
        // A name removed and a file created over a modified hard link.
        {{"1m/s/f/", "1d/s/g/", "1c/s/h/"}, {"3 /s/h/ <- /s/g/ R @2,2", "2 /s/f/ @2,2"}},
        // A file that loses two names.
        {{"1m/s/f/", "1d/s/g/", "1d/s/h/"}, {"4 /s/h/ dir @3,3", "2 /s/f/ @3,3", "4 /s/g/ @3,3"}},
        // A file moved to another share: each share hears its half.
        {{"1d/s/a/", "1c/t/a/"}, {"4 /s/a/ dir @1,1", "1 /t/a/ <- /s/a/ R @1,1"}},
        // A hard link in another share removed.
        {{"1m/t/f/", "1d/s/g/"}, {"4 /s/g/ dir @2,2", "2 /t/f/ @2,2"}},
    };
    for (const Row& row : rows)
        for (bool trackMovedOut : {false, true})
            EXPECT_EQ(row.items, Items(row.reports, trackMovedOut))
                << testing::PrintToString(row.reports) << (trackMovedOut ? " read by prefix" : "");
}

// The memory of inodes that left a share is bounded: past the bound the
// merge names the share that would miss a deletion, so that the client
// fails it (the bound of held names is the scan's, test_scan_memory). A
// half held back for one share's read never reaches the next share's.
TEST(ChangeMerge, BoundsAndHeldHalves) {
    ChangeMerge merge;
    merge.StartRun({"/s/", "/t/"}, true);
    std::string lost;
    auto note = [&](long long inode, const char* path, const char* oldPath) {
        ChangeEventItem event = EventOf(std::to_string(inode) + "c" + path, 1);
        event.strOldPath = oldPath;
        return merge.NoteWritten(event, lost);
    };
    // Neither a move within a share nor one from outside the shares is kept.
    EXPECT_TRUE(note(1, "/s/a/x/", "/s/a/y/") && note(2, "/s/a/", "") && note(3, "/s/a/", "/u/"));
    for (long long inode = 1; inode <= long(ChangeMerge::kMaxMovedOut); ++inode)
        ASSERT_TRUE(note(inode, "/t/x/", "/s/x/"));
    EXPECT_TRUE(note(5, "/s/x/", "/t/x/")) << "a known inode";
    EXPECT_FALSE(note(0, "/s/x/", "/t/x/"));
    EXPECT_EQ("/t/", lost);
    merge.KeepRun("vola");
    merge.StartRead("vola", "/s/");
    size_t movedOut = 0;
    for (long long inode = 0; merge.NextMovedOut(inode);) ++movedOut;
    EXPECT_EQ(ChangeMerge::kMaxMovedOut, movedOut);

    ChangeEventItem renamed = EventOf("9c/s/new/", 1);
    renamed.strOldPath = "/s/old/";
    renamed.uiChangeFlags = kChangeCreated | kChangeDeleted;
    ChangeMerge::Delivery delivery = merge.Deliver(renamed);
    EXPECT_TRUE(delivery.bOldName);
    merge.StartRead("vola", "/t/");
    EXPECT_FALSE(merge.TakeHeld(renamed, delivery)) << "the held half went to the next share";
}

}  // namespace
