#include "snapclient/scan/EventStoreAdapter.h"

#include "hostlib/eventstore/SnapDiffEventMonitorExtensions.h"

#include <dlfcn.h>

#include <cstddef>

namespace {

const SnapDiffEventMonitorExtensions* FindStoreExtensions() {
    typedef const SnapDiffEventMonitorExtensions* (*Lookup)();
    const Lookup lookup =
        reinterpret_cast<Lookup>(dlsym(RTLD_DEFAULT, SNAPDIFF_EVENT_MONITOR_EXTENSIONS));
    const SnapDiffEventMonitorExtensions* table = lookup ? lookup() : nullptr;
    // A table without the share reads comes from an older host: use none of it.
    return table && table->ulSize >=
                        offsetof(SnapDiffEventMonitorExtensions, PrepareSelectQueryForShare) +
                            sizeof(table->PrepareSelectQueryForShare)
               ? table
               : nullptr;
}

}  // namespace

EventStoreAdapter::EventStoreAdapter() : m_pExtensions(FindStoreExtensions()) {}

CRyError EventStoreAdapter::SetSharePrefixes(CSnapDiffEventMonitor& store,
                                             const std::vector<std::string>& prefixes) const {
    if (!m_pExtensions) return CRyError::Success();
    return m_pExtensions->SetSharePrefixes(store, prefixes);
}

CRyError EventStoreAdapter::PrepareShareRead(CSnapDiffEventMonitor& store,
                                             const std::string& prefix) const {
    if (m_pExtensions) return m_pExtensions->PrepareSelectQueryForShare(store, prefix);
    return store.PrepareSelectQueryWithPathPrefix(prefix);
}
