// One SnapDiff session of a volume's run, from its start to its end.
// Sessions are few on the array and a later job finds none while one stays
// open, so the object ends its session on every way out of the run, an
// exception included, unless the array ended it (the end flag came with a
// batch) or End did already. It holds the handle and the flags the start
// answered with. One object per run, on the stack; no locks.
#pragma once

#include "host/ManageONTAP.h"

#include <string>
#include <vector>

class SnapDiffSession {
public:
    explicit SnapDiffSession(ManageONTAP& array) : m_array(array) {}
    ~SnapDiffSession() {
        if (!m_bEnd) End();
    }
    SnapDiffSession(const SnapDiffSession&) = delete;
    SnapDiffSession& operator=(const SnapDiffSession&) = delete;

    // Opens the session over nfs; false as the array answered (its last
    // error says why), and then there is nothing to end.
    bool Start(const std::string& volume, const std::string& base, const std::string& incremental,
               unsigned long maxItems);
    // The next batch into batch, AtEnd() after the last; false as the
    // array answered, the session then still open.
    bool Next(std::vector<SnapDiffFileInfo>& batch);
    // Ends the session now, also after the end flag (the run that ends on an
    // empty batch says so to the array whatever the flag); once only.
    void End() noexcept;

    bool AtEnd() const { return m_bEnd; }
    bool EscapedNames() const { return m_bEscapedNames; }
    bool EmptyBatchesAllowed() const { return m_bEmptyBatchesAllowed; }

private:
    ManageONTAP& m_array;
    std::string m_strHandle;
    bool m_bEscapedNames = true;
    bool m_bEmptyBatchesAllowed = false;
    bool m_bEnd = false;
    bool m_bStarted = false;
    bool m_bEnded = false;
};
