// What the client makes of the reports SnapDiff sends about one inode. The
// volume's change event store keeps one event per inode, with one current
// and one old name; SnapDiff may report an inode several times (deleted
// under one name, created under another, modified, one report per hard
// link). This class holds the whole of that concept:
//  - the merge rule: a report and the stored event of its inode give the
//    event to write back, or none;
//  - the names no merged event can hold (further hard links gained or lost
//    in one job), held until the share that holds them is read;
//  - with a store that cannot read a share by old path, the inodes that left
//    one share of the volume for another, so that the share they left still
//    hears that the old name is gone;
//  - at delivery, the split of a stored event into the items the agent gets,
//    with the second half of a split rename held for the next pull.
// It touches neither the store nor the array: the client does the calls and
// asks this class what to write and what to hand out. Memory is bounded: at
// most kMaxExtraNames names and kMaxMovedOut inodes per volume; past a bound
// the caller fails the share concerned so that the agent scans it in full.
// One object serves one client; it takes no locks. Allocation failures are
// thrown as std::bad_alloc.
#pragma once

#include "records/SnapRecords.h"
#include "snapclient/shares/ShareMatcher.h"

#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

class ChangeMerge {
public:
    static constexpr size_t kMaxExtraNames = 100000;
    static constexpr size_t kMaxMovedOut = 100000;

    // The item status of a change of a single kind (flag 1, 2 or 4; any
    // other value is a modification).
    static uint32_t StatusOfChange(uint32_t flag);

    // --- Gathering one volume's changes ---

    // Starts a run serving the shares whose backup paths, each followed by
    // "/", are sharePrefixes; trackMovedOut when the store reads a share by
    // path prefix only. What an earlier run that was never kept gathered is
    // dropped.
    void StartRun(const std::vector<std::string>& sharePrefixes, bool trackMovedOut);
    // Merges reported into stored, the event the store holds for the same
    // inode. Returns the event to write over the stored one (one of the two,
    // its change flags the OR of both), or null when the stored one stays.
    // Each name that neither the written event nor the stored one keeps is
    // held for delivery; the names the bound refused are in Refused().
    const ChangeEventItem* Merge(ChangeEventItem& stored, ChangeEventItem& reported);
    const std::vector<std::string>& Refused() const { return m_vecRefused; }
    // Called with each event written over a stored one. False when its old
    // path left a share and the memory of such inodes is full; lostShare is
    // then that share's prefix.
    bool NoteWritten(const ChangeEventItem& written, std::string& lostShare);
    // The run received every change: what it gathered serves the reads of
    // the volume from now on, in place of an earlier run's.
    void KeepRun(const std::string& volume);

    // --- Delivering one share ---

    // Starts handing out the kept names and moved-out inodes of the volume
    // to the share whose backup path followed by "/" is sharePrefix; a half
    // held back for another share's read is dropped.
    void StartRead(const std::string& volume, const std::string& sharePrefix);
    bool InReadShare(const std::string& path) const {
        return ShareMatcher::HoldsStoredPath(m_strReadPrefix, path);
    }
    // The next inode that left the read share for another (tracked runs
    // only); false when none is left.
    bool NextMovedOut(long long& inode);
    // The next held name that lies in the read share, or null. A name is an
    // event of its own: its change flags hold its one change kind.
    const ChangeEventItem* NextExtraName();

    // What the agent gets now of a stored event read for the share.
    struct Delivery {
        uint32_t uiStatus = kItemModified;
        bool bRenamed = false;
        // The item is the deletion of the event's old name, as a directory
        // so that the agent drops whatever it held below it: its path is the
        // event's old path; it is filled with the modified status and
        // becomes a deletion (uiStatus) after.
        bool bOldName = false;
    };
    // May change the event (its file type, its old path) and hold its second
    // half, which TakeHeld hands out before the store is read on.
    Delivery Deliver(ChangeEventItem& event);
    // The held half into event; false when none waits. Its status is set
    // after the item is filled.
    bool HoldsHalf() const { return !m_dqCachedEvents.empty(); }
    bool TakeHeld(ChangeEventItem& event, Delivery& delivery) {
        return !m_dqCachedEvents.empty() && TakeHeldHalf(event, delivery);
    }

private:
    struct Gathered {
        std::vector<ChangeEventItem> vecExtraNames;
        std::set<long long> setMovedOut;
    };
    // The run's share prefix that begins path, or null.
    const std::string* RunShareOf(const std::string& path) const;
    bool TakeHeldHalf(ChangeEventItem& event, Delivery& delivery);
    void HoldDroppedNames(const ChangeEventItem& stored, const std::string& storedOldPath,
                          const ChangeEventItem& reported, const ChangeEventItem& written);

    std::vector<std::string> m_vecRunPrefixes;
    bool m_bTrackMovedOut = false;
    Gathered m_run;
    std::vector<std::string> m_vecRefused;
    std::map<std::string, std::shared_ptr<const Gathered>> m_mapKept;

    std::shared_ptr<const Gathered> m_pRead;
    std::string m_strReadPrefix;
    size_t m_nextName = 0;
    std::set<long long>::const_iterator m_itMovedOut;
    // At most one event: the second half of a split stored event.
    std::deque<ChangeEventItem> m_dqCachedEvents;
};
