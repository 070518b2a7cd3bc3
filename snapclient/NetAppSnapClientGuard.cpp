// No exception leaves the client: each operation of the agent's interface
// and the pull function end in a catch handler that turns what they caught
// into the error they return (14 when memory ran out, 1627 otherwise), so
// an agent that runs many jobs in one process loses one job, not itself.
// The handlers need memory too; when there is none left, the operations
// return the out-of-memory error built with the object, and the pull
// function an item of status 6, which needs none.
#include "snapclient/NetAppSnapClient.h"

#include "host/FXErrorUtil.h"
#include "host/LogWriter.h"

#include <exception>
#include <new>

namespace {
// What the exception in flight says; false when it is no std::exception.
bool CaughtText(bool& outOfMemory, const char*& what) {
    outOfMemory = false;
    what = "";
    try {
        throw;
    } catch (const std::bad_alloc&) {
        outOfMemory = true;
        return true;
    } catch (const std::exception& e) {
        what = e.what();
        return true;
    } catch (...) {
        return false;
    }
}
}  // namespace

CRyError CNetAppSnapClient::Caught(const char* file, const char* function, int line) noexcept {
    bool outOfMemory = false;
    const char* what = "";
    const bool known = CaughtText(outOfMemory, what);
    try {
        const FXCodeLocation where(file, function, line);
        // The line carries the operation that failed, as its other lines do.
        CLogWriterInterface* log = g_ptrLogWriter;
        if (outOfMemory) {
            if (log) log->Log(-1, function, line, "Out of memory, the operation is abandoned.");
            return FXErrorUtil::ErrorWin32(where, ERROR_OUTOFMEMORY);
        }
        if (log)
            log->Log(-1, function, line, "Unexpected failure, the operation is abandoned: %s",
                     known ? what : "unknown exception");
        return FXErrorUtil::ErrorWin32(where, ERROR_FUNCTION_FAILED, "Unexpected failure: %s",
                                       known ? what : "unknown exception");
    } catch (...) {
        return m_errOutOfMemory;
    }
}

FileServerSnapshotCompareItem CNetAppSnapClient::CaughtInPull() noexcept {
    Caught(__FILE__, __PRETTY_FUNCTION__, __LINE__);
    FileServerSnapshotCompareItem item;
    item.uiStatus = kItemFailure;
    return item;
}
