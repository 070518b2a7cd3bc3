#include "hostlib/eventstore/StoreFailure.h"

#include "host/FXErrorUtil.h"
#include "hostlib/eventstore/Sql.h"

namespace eventstore {

CRyError StoreFailure::Inject(const Where& where, const char* operation) const {
    if (!m_hook) return CRyError::Success();
    CRyError injected = m_hook(operation);
    return injected.IsError() ? injected.Push(where.Location()) : injected;
}

CRyError StoreFailure::CheckHookAndState(const Where& where, const char* operation,
                                         bool open) const {
    CRyError injected = Inject(where, operation);
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

CRyError StoreFailure::Failed(const FXCodeLocation& where, const char* operation,
                              const Status& status) const {
    return Error(where, operation, status.message());
}

CRyError StoreFailure::CorruptRow(const FXCodeLocation& where, const char* operation,
                                  long long inode) const {
    return Failed(where, operation, DamagedRow(inode));
}

}  // namespace eventstore
