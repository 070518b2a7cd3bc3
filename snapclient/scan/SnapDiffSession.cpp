#include "snapclient/scan/SnapDiffSession.h"

bool SnapDiffSession::Start(const std::string& volume, const std::string& base,
                            const std::string& incremental, unsigned long maxItems) {
    m_bStarted = m_array.SnapDiffStart(volume, base, incremental, maxItems, "nfs", m_strHandle,
                                       m_bEscapedNames, m_bEmptyBatchesAllowed);
    return m_bStarted;
}

bool SnapDiffSession::Next(std::vector<SnapDiffFileInfo>& batch) {
    // A failed call leaves the end flag as it was: the session is still ours to end.
    bool end = false;
    if (!m_array.SnapDiffNext(m_strHandle, batch, end)) return false;
    m_bEnd = end;
    return true;
}

void SnapDiffSession::End() noexcept {
    if (!m_bStarted || m_bEnded) return;
    m_bEnded = true;
    // The array's answer changes nothing: the run is over either way.
    try {
        m_array.SnapDiffEnd(m_strHandle);
    } catch (...) {
    }
}
