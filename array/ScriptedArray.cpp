#include "array/ScriptedArray.h"

#include <algorithm>
#include <iterator>

namespace {

// The array refuses names that could not be a snapshot directory under
// .snapshot: the client would build paths from them.
bool IsValidSnapshotName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

ArrayStatus InvalidName(const std::string& what, const std::string& name) {
    return ArrayStatus::Fail(kArrayErrInvalidArgument, "Invalid " + what + " name [" + name + "]");
}

std::string WithoutTrailingDelimiters(const std::string& path) {
    size_t end = path.find_last_not_of('/');
    return end == std::string::npos ? path.substr(0, 1) : path.substr(0, end + 1);
}

}  // namespace

ScriptedArray::ScriptedArray(const ArrayScript& script) : m_script(script) {}

ArrayStatus ScriptedArray::OpenConnection() {
    if (m_script.bOpenConnectionOk) return ArrayStatus::Ok();
    return ArrayStatus::Fail(kArrayErrNotConnected,
                             "Unable to connect to array [" + m_script.strArrayName + "]");
}

bool ScriptedArray::IsCluster() { return m_script.bCluster; }

bool ScriptedArray::IsClusterInterface() { return m_script.bClusterInterface; }

ArrayStatus ScriptedArray::GetVersion(unsigned& major, unsigned& minor, unsigned& third) {
    major = m_script.uiVersion[0];
    minor = m_script.uiVersion[1];
    third = m_script.uiVersion[2];
    return ArrayStatus::Ok();
}

ArrayStatus ScriptedArray::GetStoragePathForExport(const std::string& exportPath,
                                                   std::string& volumePath) {
    auto it = m_script.mapExports.find(exportPath);
    if (it == m_script.mapExports.end()) {
        // An NFS server knows an export whatever trailing "/" the client
        // writes: the post-backup cleanup asks with the map file's key, which
        // ends with one.
        const std::string wanted = WithoutTrailingDelimiters(exportPath);
        for (it = m_script.mapExports.begin(); it != m_script.mapExports.end(); ++it)
            if (WithoutTrailingDelimiters(it->first) == wanted) break;
    }
    if (it == m_script.mapExports.end())
        return ArrayStatus::Fail(kArrayErrNotFound, "Export [" + exportPath + "] not found");
    volumePath = it->second;
    return ArrayStatus::Ok();
}

ArrayStatus ScriptedArray::ListSnapshots(const std::string& volume, const std::string& prefix,
                                         std::vector<SnapShotInfo_t>& snapshots) {
    const std::string volumeName = VolumeNameOfArgument(volume);
    snapshots.clear();
    auto it = m_script.mapSnapshots.find(volumeName);
    if (it == m_script.mapSnapshots.end()) return ArrayStatus::Ok();
    // The set is ordered, so the names with the prefix form one run.
    for (auto name = it->second.lower_bound(prefix);
         name != it->second.end() && name->compare(0, prefix.size(), prefix) == 0; ++name) {
        SnapShotInfo_t info;
        info.strName = *name;
        info.strVolume = volumeName;
        snapshots.push_back(info);
    }
    return ArrayStatus::Ok();
}

ArrayStatus ScriptedArray::CreateSnapshot(const std::string& volume, const std::string& name) {
    const std::string volumeName = VolumeNameOfArgument(volume);
    if (volumeName.empty()) return InvalidName("volume", volume);
    if (!IsValidSnapshotName(name)) return InvalidName("snapshot", name);
    if (!m_script.mapSnapshots[volumeName].insert(name).second)
        return ArrayStatus::Fail(
            kArrayErrSnapshotExists,
            "Snapshot [" + name + "] already exists on volume [" + volumeName + "]");
    return ArrayStatus::Ok();
}

ArrayStatus ScriptedArray::DeleteSnapshot(const std::string& volume, const std::string& name) {
    const std::string volumeName = VolumeNameOfArgument(volume);
    auto it = m_script.mapSnapshots.find(volumeName);
    if (it == m_script.mapSnapshots.end() || it->second.erase(name) == 0)
        return ArrayStatus::Fail(
            kArrayErrNotFound, "Snapshot [" + name + "] not found on volume [" + volumeName + "]");
    return ArrayStatus::Ok();
}

ArrayStatus ScriptedArray::SnapDiffStart(const std::string& volume, const std::string& base,
                                         const std::string& incremental, unsigned long maxItems,
                                         const std::string& protocol, std::string& handle,
                                         bool& escapedNames, bool& emptyBatchesAllowed) {
    const std::string volumeName = VolumeNameOfArgument(volume);
    auto it = m_script.mapSnapDiffs.find(std::make_tuple(volumeName, base, incremental));
    if (it == m_script.mapSnapDiffs.end())
        return ArrayStatus::Fail(kArrayErrNotFound, "SnapDiff: no answer scripted for volume [" +
                                                        volumeName + "] base [" + base +
                                                        "] incremental [" + incremental + "]");
    const ScriptedSnapDiff& answer = it->second;
    if (!answer.bStartOk) return ArrayStatus::Fail(answer.uiStartCode, answer.strStartMessage);
    // Zero changes per batch would never make progress.
    if (maxItems == 0)
        return ArrayStatus::Fail(kArrayErrInvalidArgument,
                                 "SnapDiff: the maximum number of changes per batch is 0");
    handle = "scripted-diff-" + std::to_string(m_ullNextHandle++);
    Session session;
    session.answer = &answer;
    session.nextBatch = 0;
    session.maxItems = maxItems;
    session.pendingSent = 0;
    m_sessions[handle] = session;
    escapedNames = answer.bEscapedNames;
    emptyBatchesAllowed = answer.bEmptyBatchesAllowed;
    return ArrayStatus::Ok();
}

ArrayStatus ScriptedArray::SnapDiffNext(const std::string& handle,
                                        std::vector<SnapDiffFileInfo>& batch, bool& end) {
    batch.clear();
    end = false;
    auto it = m_sessions.find(handle);
    if (it == m_sessions.end())
        return ArrayStatus::Fail(kArrayErrBadHandle,
                                 "SnapDiff: unknown or ended handle [" + handle + "]");
    Session& session = it->second;
    if (session.pendingSent < session.pending.vecChanges.size()) return SendPiece(it, batch, end);

    const ScriptedSnapDiff& answer = *session.answer;
    const size_t index = session.nextBatch++;
    ScriptedBatch next;
    if (answer.generator) {
        if (!answer.generator(index, session.maxItems, next) && !next.bFail) {
            next.bFail = true;
            next.uiCode = kArrayErrInternal;
            next.strMessage = "SnapDiff: batch " + std::to_string(index) + " could not be made";
        }
    } else if (index < answer.vecBatches.size()) {
        next = answer.vecBatches[index];
    } else {
        next.bEnd = true;
    }
    if (next.bFail) return ArrayStatus::Fail(next.uiCode, next.strMessage);
    session.pending = std::move(next);
    session.pendingSent = 0;
    return SendPiece(it, batch, end);
}

ArrayStatus ScriptedArray::SendPiece(std::map<std::string, Session>::iterator it,
                                     std::vector<SnapDiffFileInfo>& batch, bool& end) {
    Session& session = it->second;
    // A change is sent once, so it is moved out of the pending batch rather
    // than copied (its names are the bulk of the work on large runs).
    std::vector<SnapDiffFileInfo>& changes = session.pending.vecChanges;
    const size_t count = std::min<size_t>(changes.size() - session.pendingSent, session.maxItems);
    batch.assign(std::make_move_iterator(changes.begin() + session.pendingSent),
                 std::make_move_iterator(changes.begin() + session.pendingSent + count));
    session.pendingSent += count;
    end = session.pending.bEnd && session.pendingSent == changes.size();
    if (end) m_sessions.erase(it);
    return ArrayStatus::Ok();
}

ArrayStatus ScriptedArray::SnapDiffEnd(const std::string& handle) {
    if (m_sessions.erase(handle) == 0)
        return ArrayStatus::Fail(kArrayErrBadHandle,
                                 "SnapDiff: unknown or ended handle [" + handle + "]");
    return ArrayStatus::Ok();
}
