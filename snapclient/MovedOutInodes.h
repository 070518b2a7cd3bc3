// The inodes of one compared volume whose stored event has its old path in
// one share and its path in another: a file moved, or one of its names
// removed, across shares of the volume. A host store that reads a share by
// path prefix only yields such an event to the share it went to; the share
// it left learns from this list that the old name is gone. Bounded, so that
// a volume of many such moves cannot exhaust the proxy's memory: past the
// bound Note names the share that would miss a deletion. One run fills it;
// it is read only after the run, through ordered iteration of Inodes().
#pragma once

#include "records/SnapRecords.h"

#include <set>
#include <string>
#include <vector>

class CMovedOutInodes {
public:
    static constexpr size_t kMaxInodes = 100000;

    // The backup paths, each followed by "/", of the shares the run serves.
    explicit CMovedOutInodes(const std::vector<std::string>& sharePrefixes)
        : m_vecSharePrefixes(sharePrefixes) {}

    // Called with each event written over a stored one. False when its old
    // path left a share and the list is full; lostShare is then that share's
    // prefix.
    bool Note(const ChangeEventItem& event, std::string& lostShare);

    const std::set<long long>& Inodes() const { return m_setInodes; }

private:
    // The share prefix that begins path, or null.
    const std::string* ShareOf(const std::string& path) const;

    std::vector<std::string> m_vecSharePrefixes;
    std::set<long long> m_setInodes;
};
