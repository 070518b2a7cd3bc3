#include "snapclient/merge/ChangeMerge.h"

#include <utility>

namespace {

const char* const kModification = kChangeTextModified;
const char* const kCreation = kChangeTextCreated;
const char* const kDeletion = kChangeTextDeleted;

// A deletion and a modification merged: the flags a later creation keeps
// the deleted path and times of.
const uint32_t kModifiedAndDeleted = kChangeModified | kChangeDeleted;

void TakeTimes(ChangeEventItem& to, const ChangeEventItem& from) {
    to.llAtime = from.llAtime;
    to.llCtime = from.llCtime;
    to.llMtime = from.llMtime;
}

}  // namespace

uint32_t ChangeMerge::StatusOfChange(uint32_t flag) {
    if (flag == kChangeCreated) return kItemCreated;
    return flag == kChangeDeleted ? kItemDeleted : kItemModified;
}

void ChangeMerge::StartRun(const std::vector<std::string>& sharePrefixes, bool trackMovedOut) {
    m_run = Gathered();
    m_vecRunPrefixes = sharePrefixes;
    m_bTrackMovedOut = trackMovedOut;
}

const ChangeEventItem* ChangeMerge::Merge(ChangeEventItem& stored, ChangeEventItem& reported) {
    m_vecRefused.clear();
    if (reported.llCtime == -1 && reported.strChangeType == kCreation)
        reported.llCtime = reported.llAtime;

    // The merge below may overwrite the stored old name; it is still a name
    // the agent must hear of.
    const std::string storedOldPath = stored.strOldPath;
    const uint32_t flags = stored.uiChangeFlags | reported.uiChangeFlags;
    const std::string& storedType = stored.strChangeType;
    const std::string& newType = reported.strChangeType;
    ChangeEventItem* written = nullptr;
    if (storedType == kModification && newType == kCreation) {
        if (stored.uiChangeFlags == kModifiedAndDeleted) {
            reported.strOldPath = stored.strOldPath;
            TakeTimes(reported, stored);
        }
        written = &reported;
    } else if ((storedType == kModification || storedType == kCreation) && newType == kDeletion) {
        stored.strOldPath = reported.strPath;
        TakeTimes(stored, reported);
        written = &stored;
    } else if (storedType == kCreation && newType == kModification) {
        written = &stored;
    } else if (storedType == kDeletion && (newType == kCreation || newType == kModification)) {
        reported.strOldPath = stored.strPath;
        TakeTimes(reported, stored);
        written = &reported;
    }
    HoldDroppedNames(stored, storedOldPath, reported, written ? *written : stored);
    // Same kind twice, or unknown: the first report stays in the store (a
    // second name of the same kind is held as a name of its own).
    if (!written) return nullptr;
    written->uiChangeFlags = flags;
    return written;
}

void ChangeMerge::HoldDroppedNames(const ChangeEventItem& stored, const std::string& storedOldPath,
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
        if (m_run.vecExtraNames.size() >= kMaxExtraNames) {
            m_vecRefused.push_back(path);
            continue;
        }
        m_run.vecExtraNames.push_back(*one.first);
        ChangeEventItem& name = m_run.vecExtraNames.back();
        name.strPath = path;
        name.strOldPath.clear();
        name.uiChangeFlags = flag;
    }
}

const std::string* ChangeMerge::RunShareOf(const std::string& path) const {
    for (const std::string& prefix : m_vecRunPrefixes)
        if (ShareMatcher::HoldsStoredPath(prefix, path)) return &prefix;
    return nullptr;
}

bool ChangeMerge::NoteWritten(const ChangeEventItem& written, std::string& lostShare) {
    if (!m_bTrackMovedOut || written.strOldPath.empty()) return true;
    const std::string* left = RunShareOf(written.strOldPath);
    if (!left || left == RunShareOf(written.strPath)) return true;
    std::set<long long>& inodes = m_run.setMovedOut;
    if (inodes.size() >= kMaxMovedOut && !inodes.count(written.llInode)) {
        lostShare = *left;
        return false;
    }
    inodes.insert(written.llInode);
    return true;
}

void ChangeMerge::KeepRun(const std::string& volume) {
    m_mapKept[volume] = std::make_shared<const Gathered>(std::move(m_run));
    m_run = Gathered();
}

void ChangeMerge::StartRead(const std::string& volume, const std::string& sharePrefix) {
    const auto kept = m_mapKept.find(volume);
    m_pRead = kept == m_mapKept.end() ? nullptr : kept->second;
    m_strReadPrefix = sharePrefix;
    m_nextName = 0;
    if (m_pRead) m_itMovedOut = m_pRead->setMovedOut.begin();
    // A rename half held back from another share's read belongs to that share.
    m_dqCachedEvents.clear();
}

bool ChangeMerge::NextMovedOut(long long& inode) {
    if (!m_pRead || m_itMovedOut == m_pRead->setMovedOut.end()) return false;
    inode = *m_itMovedOut++;
    return true;
}

const ChangeEventItem* ChangeMerge::NextExtraName() {
    while (m_pRead && m_nextName < m_pRead->vecExtraNames.size()) {
        const ChangeEventItem& name = m_pRead->vecExtraNames[m_nextName++];
        if (InReadShare(name.strPath)) return &name;
    }
    return nullptr;
}

ChangeMerge::Delivery ChangeMerge::Deliver(ChangeEventItem& event) {
    Delivery delivery;
    Delivery oldName;
    oldName.uiStatus = kItemDeleted;
    oldName.bOldName = true;
    // An inode that moved here from another share of the volume, or left
    // this share for another one, is read by both shares: each hears only
    // the half whose path it holds, so neither gets a path outside itself.
    const bool pathHere = InReadShare(event.strPath);
    const bool oldPathHere = !event.strOldPath.empty() && InReadShare(event.strOldPath);
    if (!pathHere) {
        event.uiFileType = kFileTypeDirectory;
        return oldName;
    }
    switch (event.uiChangeFlags) {
        case kChangeModified:
        case kChangeCreated:
        case kChangeDeleted:
            delivery.uiStatus = StatusOfChange(ChangeFlagOfText(event.strChangeType));
            break;
        case kChangeCreated | kChangeDeleted:
            if (!oldPathHere) {
                delivery.uiStatus = kItemCreated;
                delivery.bRenamed = true;
                break;
            }
            m_dqCachedEvents.push_back(event);
            event.uiFileType = kFileTypeDirectory;
            return oldName;
        case kChangeModified | kChangeCreated:
            delivery.uiStatus = kItemCreated;
            break;
        case kChangeModified | kChangeDeleted:
            // One name of the inode went (a removed hard link) while the
            // name in strPath still holds the file: the agent must drop the
            // old name and keep backing up the other. Deleted and modified
            // under one name, the file itself is gone.
            if (event.strOldPath == event.strPath) {
                event.uiFileType = kFileTypeDirectory;
                delivery.uiStatus = kItemDeleted;
                break;
            }
            if (oldPathHere) {
                m_dqCachedEvents.push_back(event);
                m_dqCachedEvents.back().strOldPath.clear();
                m_dqCachedEvents.back().uiChangeFlags = kChangeModified;
                event.uiFileType = kFileTypeDirectory;
                return oldName;
            }
            event.strOldPath.clear();
            break;
        case kChangeModified | kChangeCreated | kChangeDeleted:
            delivery.bRenamed = true;
            delivery.uiStatus = kItemAllKinds;
            break;
        default:
            break;
    }
    return delivery;
}

bool ChangeMerge::TakeHeldHalf(ChangeEventItem& event, Delivery& delivery) {
    event = std::move(m_dqCachedEvents.front());
    m_dqCachedEvents.pop_front();
    // The name that stays after a removed hard link is a plain
    // modification; any other waiting half is a renamed file's new name.
    const bool keptName = event.uiChangeFlags == kChangeModified;
    delivery = Delivery();
    delivery.uiStatus = keptName ? kItemModified : kItemCreated;
    delivery.bRenamed = !keptName;
    return true;
}
