// How the change event store fails. Every error is ERROR_FUNCTION_FAILED,
// "<operation> failed on the event store [<file>]: <why>", raised where it
// happened. A write that failed may have left part of its rows behind (the
// store keeps no journal to roll back), so after one the store is ended:
// its connection closed, its file removed (a full disk is the usual cause,
// and the next share's store needs the space), and every later operation
// refused with the first failure's reason. Each store has its own test
// hook, which runs before each operation and can make it fail instead.
#pragma once

#include "host/CRyError.h"
#include "hostlib/Status.h"

#include <functional>
#include <string>

namespace eventstore {

using hostlib::Status;

// A code location costs two heap strings; the hot operations keep only the
// pointers and build one when they fail.
struct Where {
    const char* file;
    const char* function;
    int line;
    FXCodeLocation Location() const { return FXCodeLocation(file, function, line); }
};
#define STORE_WHERE (eventstore::Where{__FILE__, __PRETTY_FUNCTION__, __LINE__})

// A test hook: the error operation is to fail with, or success. The same
// type as CSnapDiffEventMonitor::FaultHook, named here so that the store's
// parts stand below its public face.
typedef std::function<CRyError(const char* operation)> FaultHook;

class StoreFailure {
public:
    explicit StoreFailure(std::string path) : m_path(std::move(path)) {}
    const std::string& Path() const { return m_path; }
    void SetFaultHook(FaultHook hook) { m_hook = std::move(hook); }
    // The error the hook injects into operation, with where pushed, or success.
    CRyError Inject(const Where& where, const char* operation) const;

    // The fault hook, then whether a store (open when open is true) can serve
    // the operation at all. Every event passes here: without a hook, a store
    // in use answers at once.
    CRyError Check(const Where& where, const char* operation, bool open) const {
        if (open && !m_failure.IsError() && !m_hook) return CRyError();
        return CheckHookAndState(where, operation, open);
    }
    // Remembers the failure; discard ends the store. Returns error.
    CRyError End(const CRyError& error, const std::function<void()>& discard);
    bool Ended() const { return m_failure.IsError(); }
    void Forget() { m_failure = CRyError(); }

    CRyError Error(const FXCodeLocation& where, const char* operation,
                   const std::string& why) const;
    // The error the agent reads for a failed step of operation.
    CRyError Failed(const FXCodeLocation& where, const char* operation, const Status& status) const;
    CRyError CorruptRow(const FXCodeLocation& where, const char* operation, long long inode) const;

private:
    CRyError CheckHookAndState(const Where& where, const char* operation, bool open) const;

    std::string m_path;
    FaultHook m_hook;
    CRyError m_failure;
};

}  // namespace eventstore
