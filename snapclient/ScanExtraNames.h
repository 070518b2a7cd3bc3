// The names of files that a volume's change event store cannot hold: the
// store keeps one event per inode, and that event holds one current and one
// old name, while a file with several hard links may gain or lose several
// names in one job. Each further name is held here, with the store it
// belongs to, until the agent has read the share that holds it.
//
// Memory is bounded: at most kMaxPerStore names per store (one store per
// compared volume); Hold refuses more, and the caller fails the shares
// whose names were refused. Names of a store that no longer exists are
// dropped the next time a store's first name is held. One object serves one
// client; it takes no locks.
#pragma once

#include "host/SnapDiffEventMonitor.h"

#include <boost/shared_ptr.hpp>
#include <boost/weak_ptr.hpp>
#include <list>
#include <string>
#include <vector>

class ScanExtraNames {
public:
    static const size_t kMaxPerStore = 100000;

    // One name is held as an event of its own whose change flags hold its
    // one change kind (created, modified or deleted), with the times and type
    // of the report that named it and no old path.
    typedef ChangeEventItem Name;

    // False, holding nothing, when the store holds kMaxPerStore names.
    bool Hold(const boost::shared_ptr<CSnapDiffEventMonitor>& store, Name name);
    // Starts handing out the store's names from the first.
    void StartRead(const boost::shared_ptr<CSnapDiffEventMonitor>& store);
    // The next name of the read, or null when none is left.
    const Name* Next();

private:
    struct Held {
        boost::weak_ptr<CSnapDiffEventMonitor> store;
        std::vector<Name> names;
    };
    Held* Find(const boost::shared_ptr<CSnapDiffEventMonitor>& store);

    std::list<Held> m_held;
    const std::vector<Name>* m_pRead = nullptr;
    size_t m_next = 0;
};
