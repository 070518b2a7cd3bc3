#include "hostlib/eventstore/EventStoreStatus.h"

namespace eventstore {

Status Status::Sqlite(sqlite3* db, int code) {
    return Status(code,
                  db && sqlite3_errcode(db) == code ? sqlite3_errmsg(db) : sqlite3_errstr(code));
}

Status Status::Corrupt(std::string why) { return Status(SQLITE_CORRUPT, std::move(why)); }

Status DamagedRow(long long inode) {
    return Status::Corrupt("the row of inode " + std::to_string(inode) + " is damaged");
}

const std::string& Status::Message() const {
    static const std::string kNone;
    return m_rep ? m_rep->message : kNone;
}

}  // namespace eventstore
