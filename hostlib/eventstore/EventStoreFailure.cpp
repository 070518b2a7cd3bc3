#include "hostlib/eventstore/EventStoreFailure.h"

#include "host/FXErrorUtil.h"

namespace eventstore {

namespace {
FaultHook& InstalledFaultHook() {
    static FaultHook hook;
    return hook;
}
}  // namespace

void SetFaultHook(FaultHook hook) { InstalledFaultHook() = std::move(hook); }

CRyError RunFaultHook(const Where& where, const char* operation) {
    const FaultHook& hook = InstalledFaultHook();
    if (!hook) return CRyError::Success();
    CRyError injected = hook(operation);
    return injected.IsError() ? injected.Push(where.Location()) : injected;
}

CRyError StoreFailure::Check(const Where& where, const char* operation, bool open) const {
    // Every event passes here: without a hook, a store in use answers at once.
    if (open && !m_failure.IsError() && !InstalledFaultHook()) return CRyError();
    CRyError injected = RunFaultHook(where, operation);
    if (injected.IsError()) return injected;
    if (m_failure.IsError())
        return Error(where.Location(), operation,
                     "the store failed earlier: " + m_failure.Message());
    if (!open) return Error(where.Location(), operation, "the store is not open");
    return CRyError::Success();
}

CRyError StoreFailure::End(const CRyError& error, const std::function<void()>& discard) {
    m_failure = error;
    discard();
    return error;
}

CRyError StoreFailure::Error(const FXCodeLocation& where, const char* operation,
                             const std::string& why) const {
    return FXErrorUtil::ErrorWin32(where, ERROR_FUNCTION_FAILED,
                                   "%s failed on the event store [%s]: %s", operation,
                                   m_path.c_str(), why.c_str());
}

CRyError StoreFailure::SqliteError(const FXCodeLocation& where, const char* operation,
                                   sqlite3* db) const {
    return Error(where, operation, sqlite3_errmsg(db));
}

CRyError StoreFailure::SqliteError(const FXCodeLocation& where, const char* operation, sqlite3* db,
                                   int rc) const {
    return Error(where, operation,
                 sqlite3_errcode(db) == rc ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
}

CRyError StoreFailure::CorruptRow(const FXCodeLocation& where, const char* operation,
                                  long long inode) const {
    return Error(where, operation, "the row of inode " + std::to_string(inode) + " is damaged");
}

}  // namespace eventstore
