// CompareSnapshots: the agent asks for one share's changes between the
// previous and the current job's snapshot. The first share of a volume
// starts one SnapDiff run for the whole volume; its changes are decoded,
// placed under the backup paths of every share the run serves and stored,
// one batch at a time, in the volume's change event database. Later shares
// of the volume are served from that database without a second run.
//
// A run that fails after SnapDiff started, by an error or an exception,
// ends its SnapDiff session (SnapDiffSession): sessions are a limited
// resource of the array and a later job would otherwise find none. A run that sees too many empty
// batches in a row fails rather than pretending the array sent everything, so that the agent falls
// back to a full scan instead of missing changes.
#include "snapclient/NetAppSnapClient.h"

#include "host/FXErrorUtil.h"
#include "host/FXPath.h"
#include "snapclient/ClientLog.h"
#include "snapclient/scan/SnapDiffSession.h"
#include "snapclient/shares/ShareMatcher.h"

#include <cstring>
#include <new>
#include <string_view>

namespace {

const int kDefaultItemsPerBatch = 256;
const size_t kInitialDecodeBufferSize = 2048;
// With the empty-batch flag set the array may answer with empty batches
// while it works; more than this many in a row means it will not finish.
const int kMaxConsecutiveEmptyBatches = 100;
const char kUnmatchableVolumePath[] =
    "Share [%s] has volume path [%s], which SnapDiff results cannot be matched to";

// The name decode buffer of one run, released on every way out of it.
struct DecodeBuffer {
    unsigned char* pBytes;
    size_t size;

    DecodeBuffer()
        : pBytes(new (std::nothrow) unsigned char[kInitialDecodeBufferSize]),
          size(pBytes ? kInitialDecodeBufferSize : 0) {}
    ~DecodeBuffer() { Release(); }
    DecodeBuffer(const DecodeBuffer&) = delete;
    DecodeBuffer& operator=(const DecodeBuffer&) = delete;
    void Release() {
        delete[] pBytes;
        pBytes = nullptr;
        size = 0;
    }
};

}  // namespace

struct CNetAppSnapClient::SnapDiffRun {
    const FileServerExportInfo& share;
    std::list<FileServerExportInfo> commonShares;
    SnapDiffSession session;
    bool bCluster = false;
    int emptyBatches = 0;
    unsigned long long received = 0;
    unsigned long long stored = 0;
    DecodeBuffer buffer;
    // Reused for every change so that storing one costs no allocation.
    std::string rawName;
    std::string onePassName;
    ChangeEventItem event;

    SnapDiffRun(const FileServerExportInfo& s, ManageONTAP& array) : share(s), session(array) {}
};

CRyError CNetAppSnapClient::CompareSnapshots(
    std::string path, std::string, std::function<FileServerSnapshotCompareItem()>& source) try {
    SC_OPERATION();
    SC_TRACE_FUNCTION();
    if (!m_pManageOntap)
        return NoArray(SC_LOCATION, "ManageOntap not initialized. Snapshot comparison failed.");
    std::string lookupPath = path;
    FXPath::RemoveTrailingDelimiter(lookupPath);

    bool compared = false;
    for (FileServerExportInfo& share : m_lstExportInfo) {
        if (share.strBackupPath != lookupPath) continue;
        if (!HasMatchableVolumePath(share)) {
            // No change could be placed under this share: an empty list
            // would tell the agent that nothing changed.
            SC_LOG_ALWAYS(-1, kUnmatchableVolumePath, share.strBackupPath.c_str(),
                          share.strVolumePath.c_str());
            return FXErrorUtil::ErrorWin32(SC_LOCATION, ERROR_FUNCTION_FAILED,
                                           kUnmatchableVolumePath, share.strBackupPath.c_str(),
                                           share.strVolumePath.c_str());
        }
        if (share.bSnapDiffDone) {
            CRyError err = ServeGatheredShare(share, path, source);
            if (err.IsError()) return err.Push(SC_LOCATION);
            return err;
        }
        if (!IsPathEligibleForSnapDiffScan(share)) {
            // No longer a SnapDiff share, so it stops blocking the others.
            share.bSnapDiffEnabled = false;
            break;
        }
        CRyError err = CompareShareVolume(share, source);
        if (err.IsError()) return err.Push(SC_LOCATION);
        compared = true;
    }
    if (compared) return CRyError::Success();
    return FXErrorUtil::ErrorWin32(SC_LOCATION, ERROR_FUNCTION_FAILED,
                                   "Could not compare snapshots for path [%s]", lookupPath.c_str());
} catch (...) {
    return SC_CAUGHT();
}

CRyError CNetAppSnapClient::ServeGatheredShare(
    const FileServerExportInfo& share, const std::string& path,
    std::function<FileServerSnapshotCompareItem()>& source) {
    const auto undeliverable = m_mapUndeliverableShares.find(share.strBackupPath);
    if (undeliverable != m_mapUndeliverableShares.end()) return undeliverable->second;
    auto found = m_mapEventDBs.find(share.strVolume);
    if (found == m_mapEventDBs.end())
        return FXErrorUtil::ErrorWin32(SC_LOCATION, ERROR_FUNCTION_FAILED,
                                       "Could not find EventDB for path [%s]", path.c_str());
    m_pEventDB = found->second;
    CRyError err = BindShareEvents(share, source);
    if (err.IsError()) return err;
    SC_LOG(3,
           "[%s] share events has been processed already, as part of the volume [%s]. Returning "
           "existing file events db.",
           path.c_str(), share.strVolume.c_str());
    return CRyError::Success();
}

CRyError CNetAppSnapClient::BindShareEvents(
    const FileServerExportInfo& share, std::function<FileServerSnapshotCompareItem()>& source) {
    // The share's read also takes the events whose old path lies in it while
    // their path does not: a file that left for another share of the volume
    // must still be reported gone from this one.
    CRyError err = PrepareShareRead(share);
    if (err.IsError())
        return err.Push(SC_LOCATION, "Unable to prepare select query for the event database");
    source = std::bind(&CNetAppSnapClient::GetSnapshotCompareItem, this);
    return CRyError::Success();
}

CRyError CNetAppSnapClient::CompareShareVolume(
    FileServerExportInfo& share, std::function<FileServerSnapshotCompareItem()>& source) {
    if (!m_pManageOntap->OpenConnection()) return ArrayUnreachable(SC_LOCATION);

    SnapDiffRun run(share, *m_pManageOntap);
    GetCommonVolumeShares(share, run.commonShares);
    // The matcher views the run's shares: it goes with the run.
    struct MatcherOfRun {
        std::unique_ptr<ShareMatcher>& matcher;
        ~MatcherOfRun() { matcher.reset(); }
    } matcherOfRun{m_pRunMatcher};
    m_pRunMatcher.reset(new ShareMatcher(run.commonShares));
    for (const FileServerExportInfo& served : run.commonShares)
        m_mapUndeliverableShares.erase(served.strBackupPath);
    SC_LOG(0, "Compare snapshots Current:[%s] Prev:[%s] on volume[%s] for path[%s]",
           share.strCurrSnapName.c_str(), share.strPrevSnapName.c_str(), share.strVolume.c_str(),
           share.strBackupPath.c_str());

    int maxItems = kDefaultItemsPerBatch;
    GetSnapDiffItemsPerIteration(maxItems);
    run.bCluster = m_pManageOntap->IsCluster();
    const std::string& volumeKey = run.bCluster ? share.strVolumePath : share.strVolume;
    if (!run.session.Start(volumeKey, share.strPrevSnapName, share.strCurrSnapName,
                           static_cast<unsigned long>(maxItems))) {
        const unsigned code = m_pManageOntap->GetLastError();
        std::string message;
        m_pManageOntap->GetLastError(message);
        return FXErrorUtil::ErrorWin32(
            SC_LOCATION, ERROR_FUNCTION_FAILED,
            "Unable to start SnapDiff between snapshots [BASE][%s] and [INCR][%s] on volume[%s] "
            "Error[%d:%s]",
            share.strPrevSnapName.c_str(), share.strCurrSnapName.c_str(),
            share.strVolumePath.c_str(), static_cast<int>(code), message.c_str());
    }

    CRyError err = CreateEventDB(share.strPrevSnapName, share.strCurrSnapName, share.strVolume);
    if (err.IsSuccess()) err = PrepareVolumeShares(run.commonShares);
    if (err.IsSuccess()) err = RunSnapDiffBatches(run);
    if (err.IsError()) return err.Push(SC_LOCATION);
    // Shares marked done are served from their volume's registered database,
    // so only a run that received every change registers its database, in
    // place of an earlier one: after a failed run the agent may ask again,
    // and the shares the new run completes must not be read from the
    // partial database, nor those of an earlier complete run from a later
    // failed one.
    RegisterVolumeDatabase(share.strVolume);

    run.buffer.Release();
    SC_LOG(0,
           "Total number of files received by SnapDiff[%llu], total files part of the backup "
           "paths[%llu]",
           run.received, run.stored);
    // A change of this share that could not be stored fails its comparison;
    // the other shares of the run are complete whatever this one lacks.
    const auto undeliverable = m_mapUndeliverableShares.find(share.strBackupPath);
    const bool complete = undeliverable == m_mapUndeliverableShares.end();
    if (complete) {
        err = BindShareEvents(share, source);
        if (err.IsError()) return err;
    }
    share.bSnapDiffDone = true;
    MarkSnapDiffCompletedShares(run.commonShares);
    return complete ? CRyError::Success() : undeliverable->second;
}

CRyError CNetAppSnapClient::RunSnapDiffBatches(SnapDiffRun& run) {
    while (!run.session.AtEnd()) {
        std::vector<SnapDiffFileInfo> batch;
        if (!run.session.Next(batch)) {
            std::string message;
            m_pManageOntap->GetLastError(message);
            return FXErrorUtil::ErrorWin32(SC_LOCATION, ERROR_OPERATION_ABORTED,
                                           "Error in getting changed file:[%s]", message.c_str());
        }
        if (batch.empty()) {
            ++run.emptyBatches;
            const bool limitReached = run.emptyBatches > kMaxConsecutiveEmptyBatches;
            const bool waiting = run.session.EmptyBatchesAllowed() && !run.session.AtEnd();
            if (waiting && !limitReached) continue;
            run.session.End();
            if (waiting)
                return FXErrorUtil::ErrorWin32(
                    SC_LOCATION, ERROR_OPERATION_ABORTED,
                    "SnapDiff sent [%d] empty batches in a row without reaching the end of the "
                    "changes on volume[%s]",
                    run.emptyBatches, run.share.strVolume.c_str());
            SC_LOG(0, "Done obtaining all SnapDiff changes.");
            return CRyError::Success();
        }

        run.emptyBatches = 0;
        if (run.received == 0)
            SC_LOG(1, "SnapDiff first iteration has returned [%zu] items.", batch.size());
        run.received += batch.size();
        for (SnapDiffFileInfo& change : batch) {
            CRyError err = StoreSnapDiffChange(run, change);
            if (err.IsError()) return err;
        }
    }
    return CRyError::Success();
}

CRyError CNetAppSnapClient::StoreSnapDiffChange(SnapDiffRun& run, SnapDiffFileInfo& change) {
    std::string& name = change.strFileName;
    // Only a backslash starts an escape. The name as received, for the
    // messages about it, is copied only when decoding or the snapshot
    // directory's cut will change it.
    const bool escaped = run.session.EscapedNames() && name.find('\\') != std::string::npos;
    const bool nameChanges = escaped || !run.bCluster;
    if (nameChanges) run.rawName.assign(name);
    const std::string& rawName = nameChanges ? run.rawName : name;
    run.onePassName.clear();
    if (escaped &&
        !SnapDiffRemoveEscapeSequence(name, run.buffer.pBytes, run.buffer.size, &run.onePassName))
        return FXErrorUtil::ErrorWin32(SC_LOCATION, ERROR_OPERATION_ABORTED,
                                       "Processing of escape characters failed for file:[%s]",
                                       name.c_str());
    SC_LOG(3,
           "Received[%s] event for path[%s]; inode[%llu]; File type[%d]; accessed[%lld] "
           "changed[%lld] modified[%lld].",
           change.strChangeType.c_str(), name.c_str(),
           static_cast<unsigned long long>(change.ullInode), static_cast<int>(change.uiFileType),
           static_cast<long long>(change.llAtime), static_cast<long long>(change.llCtime),
           static_cast<long long>(change.llMtime));

    if (!run.bCluster &&
        CutSnapshotPrefix(name, run.share.strCurrSnapName, run.share.strPrevSnapName) &&
        name.empty()) {
        // The snapshot directory itself is the volume's root: the root of a
        // whole-volume share, changed (a root is never deleted).
        name = "/";
        change.strChangeType = kChangeTextModified;
        change.uiFileType = kFileTypeDirectory;
    }
    // An empty name would be taken for the root of a whole-volume share, and
    // a deletion of that root would drop the whole share.
    if (name.empty()) {
        if (run.bCluster)
            SC_LOG_ALWAYS(-1, "Skipping SnapDiff change for file:[%s], its name is empty",
                          rawName.c_str());
        else
            SC_LOG_ALWAYS(-1,
                          "Skipping SnapDiff change for file:[%s], it lies in neither snapshot "
                          "[%s] nor [%s]",
                          rawName.c_str(), run.share.strCurrSnapName.c_str(),
                          run.share.strPrevSnapName.c_str());
        return CRyError::Success();
    }

    ChangeEventItem& event = run.event;
    event.clear();
    std::string& path = event.strPath;
    const NamePlacement placement = PlaceNameOfSeveralForms(
        run.share, ReceivedName{rawName, run.onePassName, name, change.strChangeType, run.bCluster},
        path);
    if (placement == NamePlacement::kLeftOut) return CRyError::Success();
    if (placement == NamePlacement::kOrdinary &&
        !IsEventPartOfBackupPaths(run.commonShares, path.assign(name)))
        return CRyError::Success();
    if (HasDotComponent(path)) {
        SC_LOG_ALWAYS(-1,
                      "Skipping SnapDiff change for file:[%s], its path[%s] has a \".\" or \"..\" "
                      "component",
                      rawName.c_str(), path.c_str());
        // The file is real and would be missing from the backup: the share
        // it lies in must be scanned in full instead.
        size_t inVolume = 0;
        const FileServerExportInfo* owner = m_pRunMatcher->Holding(name, inVolume);
        if (owner)
            MarkShareUndeliverable(owner->strBackupPath, rawName,
                                   "its path has a \".\" or \"..\" component");
        return CRyError::Success();
    }
    // A directory path ends in exactly one "/", whatever the name ended in.
    while (!path.empty() && path.back() == '/') path.pop_back();
    path += '/';

    event.llInode = static_cast<int64_t>(change.ullInode);
    event.llCtime = change.llCtime;
    event.llMtime = change.llMtime;
    event.llAtime = change.llAtime;
    event.llAttribute = change.llAttribute;
    event.uiChangeFlags = ChangeFlagOfText(change.strChangeType);
    // The change is done with: its text moves over instead of being copied.
    event.strChangeType.swap(change.strChangeType);
    event.uiFileType = change.uiFileType;
    CRyError err = EventDBInsert(event);
    if (err.IsError()) return err.Push(SC_LOCATION);
    ++run.stored;
    return CRyError::Success();
}
