// Every name of a file reaches the agent. The change event store merges the
// reports of one inode into one event with one current and one old name; a
// file with several hard links that gains (or loses) two names in one job,
// or whose kept name is modified while another is created, would lose the
// other names in that merge and be missing from the backup, or stay there
// after it is gone. The names the merge drops are held in the client
// (ScanExtraNames) and handed out after the share's stored events.
#include "snapclient/NetAppSnapClient.h"

#include "snapclient/ClientLog.h"

#include <utility>

namespace {

uint32_t StatusOfFlag(uint32_t flag) {
    if (flag == kChangeCreated) return kItemCreated;
    if (flag == kChangeDeleted) return kItemDeleted;
    return kItemModified;
}

}  // namespace

ScanExtraNames::Held* ScanExtraNames::Find(const boost::shared_ptr<CSnapDiffEventMonitor>& store) {
    for (Held& held : m_held)
        if (!held.store.expired() && held.store.lock() == store) return &held;
    return nullptr;
}

bool ScanExtraNames::Hold(const boost::shared_ptr<CSnapDiffEventMonitor>& store, Name name) {
    Held* held = Find(store);
    if (!held) {
        for (auto it = m_held.begin(); it != m_held.end();) {
            if (!it->store.expired()) {
                ++it;
                continue;
            }
            if (m_pRead == &it->names) m_pRead = nullptr;
            it = m_held.erase(it);
        }
        m_held.push_back(Held{store, {}});
        held = &m_held.back();
    }
    if (held->names.size() >= kMaxPerStore) return false;
    held->names.push_back(std::move(name));
    return true;
}

void ScanExtraNames::StartRead(const boost::shared_ptr<CSnapDiffEventMonitor>& store) {
    const Held* held = Find(store);
    m_pRead = held ? &held->names : nullptr;
    m_next = 0;
}

const ScanExtraNames::Name* ScanExtraNames::Next() {
    if (!m_pRead || m_next >= m_pRead->size()) return nullptr;
    return &(*m_pRead)[m_next++];
}

void CNetAppSnapClient::KeepDroppedNames(const ChangeEventItem& stored,
                                         const std::string& storedOldPath,
                                         const ChangeEventItem& reported,
                                         const ChangeEventItem& written) {
    const std::pair<const ChangeEventItem*, const std::string*> named[] = {
        {&stored, &stored.strPath}, {&stored, &storedOldPath}, {&reported, &reported.strPath}};
    for (const auto& one : named) {
        const std::string& path = *one.second;
        if (path.empty() || path == written.strPath || path == written.strOldPath) continue;
        const bool oldName = one.second == &storedOldPath;
        const uint32_t flag = oldName ? kChangeDeleted : ChangeFlagOfText(one.first->strChangeType);
        if (flag == 0) continue;  // a report of no known kind is dropped, as always
        ScanExtraNames::Name name = *one.first;
        name.strPath = path;
        name.strOldPath.clear();
        name.uiChangeFlags = flag;
        if (m_extraNames.Hold(m_pEventDB, std::move(name))) continue;
        // Every share that may hold the name must be scanned in full: its
        // change list would lack the name.
        for (const FileServerExportInfo& share : m_lstExportInfo) {
            const std::string& root = share.strBackupPath;
            if (path.compare(0, root.size(), root) == 0 && path.size() > root.size() &&
                path[root.size()] == '/')
                MarkShareUndeliverable(
                    root, path,
                    "the job changed more than " + std::to_string(ScanExtraNames::kMaxPerStore) +
                        " names of files beyond the one their change event holds on volume [" +
                        share.strVolume + "]");
        }
    }
}

bool CNetAppSnapClient::NextExtraName(FileServerSnapshotCompareItem& item) {
    for (const ScanExtraNames::Name* name = m_extraNames.Next(); name; name = m_extraNames.Next()) {
        if (!LiesInScannedShare(name->strPath)) continue;
        PopulateCompareItem(*name, item);
        item.uiStatus = StatusOfFlag(name->uiChangeFlags);
        SC_LOG(1, "Further name [%s] of the inode[%lld] is returned with status [%u].",
               item.strPath.c_str(), static_cast<long long>(name->llInode), item.uiStatus);
        return true;
    }
    return false;
}
