#include "hostlib/eventstore/ExtendedStore.h"

#include "hostlib/eventstore/EventStore.h"

#include <string_view>
#include <unordered_set>

namespace eventstore {

CRyError ExtendedStore::SetSharePrefixes(CSnapDiffEventMonitor& store,
                                         const std::vector<std::string>& prefixes) {
    EventStore& m = Of(store);
    CRyError error = m.Begin(STORE_WHERE, "SetSharePrefixes");
    if (error.IsError()) return error;
    if (m.batch.AnyAccepted())
        return m.store.Error(FX_LOCATION, "SetSharePrefixes", "events are stored already");
    // A set, not a search of the lists: a volume may have thousands of shares.
    const std::vector<std::string>& known = m.conn->shares.Prefixes();
    std::unordered_set<std::string_view> seen(known.begin(), known.end());
    std::vector<std::string> added;
    for (const std::string& prefix : prefixes)
        if (!prefix.empty() && seen.insert(prefix).second) added.push_back(prefix);
    if (added.empty()) return error;
    const Status status = m.conn->AddShares(added);
    return status.ok() ? error : m.Fail(m.store.Failed(FX_LOCATION, "SetSharePrefixes", status));
}

CRyError ExtendedStore::PrepareSelectQueryForShare(CSnapDiffEventMonitor& store,
                                                   const std::string& prefix) {
    CRyError error = Of(store).PrepareRead(prefix, true);
    return error.IsError() ? error.Push(FX_LOCATION) : error;
}

void ExtendedStore::SetFaultHook(FaultHook hook) {
    EventStore::SetFaultHookForNewStores(std::move(hook));
}

}  // namespace eventstore
