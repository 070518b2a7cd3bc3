#include "host/ManageONTAP.h"

#include "array/ArrayBackend.h"
#include "array/AttachArrayBackend.h"

#include <new>

namespace {
ArrayStatus NotAttached() {
    return ArrayStatus::Fail(kArrayErrNotConnected,
                             "No array connection: no array back end is attached");
}

// The answer of the back end, or a failed call when it throws (a copy buffer
// or a parser out of memory): no exception reaches the client, which takes
// a failed call as it takes any other. Building the failure may itself run
// out of memory; the last resort is the code with an empty message, which
// allocates nothing.
template <typename Call>
ArrayStatus Answer(const boost::shared_ptr<ArrayBackend>& backend, Call call) noexcept {
    ArrayStatus failed;
    failed.bOk = false;
    failed.uiCode = kArrayErrInternal;
    try {
        if (!backend) return NotAttached();
        return call(*backend);
    } catch (const std::bad_alloc&) {
        try {
            failed.strMessage = "The array back end ran out of memory";
        } catch (...) {
        }
    } catch (const std::exception& e) {
        try {
            failed.strMessage = std::string("The array back end failed: ") + e.what();
        } catch (...) {
        }
    } catch (...) {
    }
    return failed;
}
}  // namespace

ManageONTAP::ManageONTAP() = default;
ManageONTAP::~ManageONTAP() = default;

void AttachArrayBackend(ManageONTAP& ontap, const boost::shared_ptr<ArrayBackend>& backend) {
    ontap.m_pBackend = backend;
}

// A success leaves the last error alone, as errno does: the client reads it
// only right after a call that failed.
bool ManageONTAP::Record(bool ok, uint32_t code, const std::string& message) {
    if (ok) return true;
    try {
        m_stLastError.set(code, message);
    } catch (...) {
        m_stLastError.uiCode = code;  // out of memory for the message: the code stays
        m_stLastError.strMessage.clear();
    }
    return false;
}

bool ManageONTAP::OpenConnection() {
    const ArrayStatus status =
        Answer(m_pBackend, [](ArrayBackend& b) { return b.OpenConnection(); });
    return Record(status.bOk, status.uiCode, status.strMessage);
}

bool ManageONTAP::IsCluster() try { return m_pBackend && m_pBackend->IsCluster(); } catch (...) {
    return false;
}

bool ManageONTAP::IsClusterInterface() try {
    return m_pBackend && m_pBackend->IsClusterInterface();
} catch (...) {
    return false;
}

bool ManageONTAP::GetFileServerVersion(unsigned& major, unsigned& minor, unsigned& third,
                                       bool refresh) {
    const ArrayStatus status =
        Answer(m_pBackend, [&](ArrayBackend& b) { return b.GetVersion(major, minor, third); });
    return Record(status.bOk, status.uiCode, status.strMessage);
}

bool ManageONTAP::GetActualStoragePathForNfsExport(const std::string& exportPath,
                                                   std::string& volumePath) {
    const ArrayStatus status = Answer(m_pBackend, [&](ArrayBackend& b) {
        return b.GetStoragePathForExport(exportPath, volumePath);
    });
    return Record(status.bOk, status.uiCode, status.strMessage);
}

bool ManageONTAP::GetSnapShotList(std::vector<SnapShotInfo_t>& snapshots, std::string volume,
                                  long flags, std::string prefix) {
    // The caller's list may already hold entries; the array's answer is
    // appended, and nothing is appended when the call fails.
    const size_t before = snapshots.size();
    const ArrayStatus status = Answer(m_pBackend, [&](ArrayBackend& b) {
        std::vector<SnapShotInfo_t> listed;
        const ArrayStatus answer = b.ListSnapshots(volume, prefix, listed);
        if (!answer.bOk) return answer;
        try {
            snapshots.insert(snapshots.end(), listed.begin(), listed.end());
        } catch (...) {
            snapshots.resize(before);
            throw;
        }
        return answer;
    });
    return Record(status.bOk, status.uiCode, status.strMessage);
}

bool ManageONTAP::CreateOntapSnap(const std::string& volume, const std::string& name) {
    const ArrayStatus status =
        Answer(m_pBackend, [&](ArrayBackend& b) { return b.CreateSnapshot(volume, name); });
    return Record(status.bOk, status.uiCode, status.strMessage);
}

bool ManageONTAP::DeleteOntapSnap(const std::string& volume, const std::string& name, bool* busy) {
    // Our arrays never keep a snapshot alive for another user.
    if (busy) *busy = false;
    const ArrayStatus status =
        Answer(m_pBackend, [&](ArrayBackend& b) { return b.DeleteSnapshot(volume, name); });
    return Record(status.bOk, status.uiCode, status.strMessage);
}

bool ManageONTAP::SnapDiffStart(const std::string& volume, const std::string& base,
                                const std::string& incremental, unsigned long maxItems,
                                std::string protocol, std::string& handle, bool& escapedNames,
                                bool& emptyBatchesAllowed) {
    const ArrayStatus status = Answer(m_pBackend, [&](ArrayBackend& b) {
        return b.SnapDiffStart(volume, base, incremental, maxItems, protocol, handle, escapedNames,
                               emptyBatchesAllowed);
    });
    return Record(status.bOk, status.uiCode, status.strMessage);
}

bool ManageONTAP::SnapDiffNext(const std::string& handle, std::vector<SnapDiffFileInfo>& batch,
                               bool& end) {
    const ArrayStatus status =
        Answer(m_pBackend, [&](ArrayBackend& b) { return b.SnapDiffNext(handle, batch, end); });
    return Record(status.bOk, status.uiCode, status.strMessage);
}

bool ManageONTAP::SnapDiffEnd(const std::string& handle) {
    const ArrayStatus status =
        Answer(m_pBackend, [&](ArrayBackend& b) { return b.SnapDiffEnd(handle); });
    return Record(status.bOk, status.uiCode, status.strMessage);
}
unsigned ManageONTAP::GetLastError() { return m_stLastError.uiCode; }

unsigned ManageONTAP::GetLastError(std::string& message) {
    message = m_stLastError.strMessage;
    return m_stLastError.uiCode;
}

void ManageONTAP::GetLastError(MoErrCode_t& error) { error = m_stLastError; }
