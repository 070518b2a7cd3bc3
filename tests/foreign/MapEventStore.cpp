// An agent's own change event store, written from the operations every
// host store has and nothing else: events in memory by inode, a read by
// path prefix in inode order.
#include "host/FXErrorUtil.h"
#include "host/SnapDiffEventMonitor.h"

#include <map>

struct CSnapDiffEventMonitor::Impl {
    std::map<long long, ChangeEventItem> events;
    std::string prefix;
    std::map<long long, ChangeEventItem>::const_iterator next;
    bool reading = false;
};

CSnapDiffEventMonitor::CSnapDiffEventMonitor(const std::string& dir, const std::string& prev,
                                             const std::string& curr)
    : m_pImpl(new Impl), m_strFilePath(dir + "/" + prev + "." + curr) {}
CSnapDiffEventMonitor::~CSnapDiffEventMonitor() = default;
CRyError CSnapDiffEventMonitor::Create() { return CRyError::Success(); }

CRyError CSnapDiffEventMonitor::InsertEvent(const ChangeEventItem& event, bool& exists) {
    exists = !m_pImpl->events.emplace(event.llInode, event).second;
    return CRyError::Success();
}

CRyError CSnapDiffEventMonitor::GetEventOfInode(long long& inode, ChangeEventItem& event) {
    const auto found = m_pImpl->events.find(inode);
    if (found == m_pImpl->events.end())
        return FXErrorUtil::ErrorWin32(FX_LOCATION, ERROR_FUNCTION_FAILED, "no inode %lld", inode);
    event = found->second;
    return CRyError::Success();
}

CRyError CSnapDiffEventMonitor::UpdateExistingEventOfInode(const ChangeEventItem& event) {
    m_pImpl->events[event.llInode] = event;
    return CRyError::Success();
}

CRyError CSnapDiffEventMonitor::PrepareSelectQueryWithPathPrefix(const std::string& prefix) {
    m_pImpl->prefix = prefix;
    m_pImpl->next = m_pImpl->events.begin();
    m_pImpl->reading = true;
    return CRyError::Success();
}

int CSnapDiffEventMonitor::GetNextEvent(ChangeEventItem& event) {
    Impl& m = *m_pImpl;
    const size_t n = m.prefix.size();
    while (m.reading && m.next != m.events.end() && m.next->second.strPath.compare(0, n, m.prefix))
        ++m.next;
    if (!m.reading || m.next == m.events.end()) return m.reading ? 1 : -1;
    event = (m.next++)->second;
    return 0;
}
