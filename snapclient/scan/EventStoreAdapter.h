// The volume's change store as the scan uses it. Every host store has the
// operations of CSnapDiffEventMonitor; ours adds share tables and a share's
// read that also yields the events that left the share. Where the host's
// store has them they are used; elsewhere a share is read by path prefix
// and the client remembers itself which inodes left a share (ChangeMerge),
// so that every share hears of each name it lost either way. The additions
// are looked up once, in the process that loaded the plug-in, so that
// binding to them never keeps the plug-in from loading. No locks.
#pragma once

#include "host/SnapDiffEventMonitor.h"

#include <string>
#include <vector>

struct SnapDiffEventMonitorExtensions;

class EventStoreAdapter {
public:
    EventStoreAdapter();

    // True when the store reads a share together with the events that left it.
    bool ReadsShares() const { return m_pExtensions != nullptr; }
    // Tells the store the shares of the volume, when it keeps them apart.
    CRyError SetSharePrefixes(CSnapDiffEventMonitor& store,
                              const std::vector<std::string>& prefixes) const;
    // Starts the read of the share whose backup path followed by "/" is prefix.
    CRyError PrepareShareRead(CSnapDiffEventMonitor& store, const std::string& prefix) const;

private:
    const SnapDiffEventMonitorExtensions* m_pExtensions;
};
