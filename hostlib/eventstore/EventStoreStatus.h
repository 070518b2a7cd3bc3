// How a part of the change event store reports a step to its caller: ok, or
// the SQLite result code with its message, taken when the step failed (the
// handle's message changes with its next call). A damaged row of ours is
// SQLITE_CORRUPT with what is damaged. Only the store's face turns a Status
// into the CRyError the agent reads (StoreFailure::Failed). Ok is a null
// pointer: the calls made for every change pay a few instructions for it.
#pragma once

#include <sqlite3.h>
#include <memory>
#include <string>

namespace eventstore {

class Status {
public:
    Status() = default;
    // The failure code gave on db: db's message when it holds that code,
    // else SQLite's text for the code (a code of the store's own checks).
    static Status Sqlite(sqlite3* db, int code);
    static Status Corrupt(std::string why);

    bool ok() const { return !m_rep; }
    int Code() const { return m_rep ? m_rep->code : SQLITE_OK; }
    bool IsCorrupt() const { return Code() == SQLITE_CORRUPT; }
    // Empty when ok.
    const std::string& Message() const;

private:
    struct Rep {
        int code;
        std::string message;
    };
    Status(int code, std::string message) : m_rep(new Rep{code, std::move(message)}) {}
    std::unique_ptr<Rep> m_rep;
};

// The stored event of inode does not read back.
Status DamagedRow(long long inode);

}  // namespace eventstore
