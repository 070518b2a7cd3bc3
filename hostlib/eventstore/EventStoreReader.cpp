#include "hostlib/eventstore/EventStoreReader.h"

#include "hostlib/eventstore/EventStoreFile.h"
#include "hostlib/eventstore/EventStoreLayout.h"

namespace eventstore {

bool StoreReader::Fail(std::string& why, const std::string& reason) {
    why = reason.empty() ? sqlite3_errmsg(m_db.get()) : reason;
    return false;
}

bool StoreReader::IsPlainTable(const std::string& name, std::string& why) {
    Statement schema;
    if (!Prepare(m_db.get(),
                 "SELECT type = 'table' AND sql NOT LIKE 'CREATE VIRTUAL%' FROM sqlite_master "
                 "WHERE name = ?1",
                 schema, false)
             .ok())
        return Fail(why, "");
    sqlite3_bind_text(schema.get(), 1, name.c_str(), -1, SQLITE_STATIC);
    const int rc = sqlite3_step(schema.get());
    if (rc == SQLITE_ROW && sqlite3_column_int(schema.get(), 0)) return true;
    return Fail(why, rc == SQLITE_ROW || rc == SQLITE_DONE
                         ? name + " is not a table of a change database"
                         : "");
}

bool StoreReader::ReadNames(std::string& why) {
    Statement names;
    if (!IsPlainTable("names", why)) return false;
    if (!Prepare(m_db.get(), kReadNames, names, false).ok()) return Fail(why, "");
    int step;
    std::string name;
    while ((step = sqlite3_step(names.get())) == SQLITE_ROW) {
        ColumnBytes(names.get(), 1, name);
        // Numbers run from 0 without a gap, each a name the store would give one.
        if (sqlite3_column_int64(names.get(), 0) != static_cast<int64_t>(m_names.Count()) ||
            !m_names.Add(name))
            return Fail(why, "the names table is damaged");
    }
    return step == SQLITE_DONE || Fail(why, "");
}

bool StoreReader::Open(const std::string& path, std::string& why) {
    sqlite3* raw = nullptr;
    const int rc =
        sqlite3_open_v2(SqliteFileName(path).c_str(), &raw, SQLITE_OPEN_READONLY, nullptr);
    m_db.reset(raw);
    if (!raw) return Fail(why, "out of memory");
    if (rc != SQLITE_OK) return Fail(why, "");
    Statement statement;
    if (!Prepare(raw, "PRAGMA user_version", statement, false).ok() ||
        sqlite3_step(statement.get()) != SQLITE_ROW)
        return Fail(why, "");
    const int version = sqlite3_column_int(statement.get(), 0);
    if (version != kLayoutVersion) {
        if (const char* older = OlderLayout(version))
            return Fail(why, std::string("a change database of an older layout: ") + older +
                                 "; this agent reads layout " + std::to_string(kLayoutVersion));
        return Fail(why, "not a change database of this agent (user_version " +
                             std::to_string(version) + ")");
    }
    if (!IsPlainTable("shares", why) || !IsPlainTable("blocks", why) || !ReadNames(why))
        return false;
    if (!Prepare(raw, kReadShares, statement, false).ok()) return Fail(why, "");
    int step;
    while ((step = sqlite3_step(statement.get())) == SQLITE_ROW) {
        // Ids run from 0 without a gap, as the store numbers its shares.
        if (sqlite3_column_int64(statement.get(), 0) != static_cast<int64_t>(m_prefixes.size()))
            return Fail(why, "the shares table is damaged");
        m_prefixes.emplace_back();
        ColumnBytes(statement.get(), 1, m_prefixes.back());
    }
    if (step != SQLITE_DONE) return Fail(why, "");
    if (!Prepare(raw, kReadAllBlocks, m_scan, false).ok()) return Fail(why, "");
    return true;
}

int StoreReader::Next(ChangeEventItem& event, int64_t& share, std::string& why) {
    while (!m_events.Next(&event)) {
        if (m_events.Damaged())
            return Fail(why, "a block of share " + std::to_string(m_share) + " is damaged"), -1;
        const int rc = sqlite3_step(m_scan.get());
        if (rc == SQLITE_DONE) return 1;
        if (rc != SQLITE_ROW) return Fail(why, ""), -1;
        m_share = sqlite3_column_int64(m_scan.get(), 0);
        if (m_share < 0 || static_cast<uint64_t>(m_share) >= m_prefixes.size())
            return Fail(why, "a block names share " + std::to_string(m_share) +
                                 ", which the shares table lacks"),
                   -1;
        ColumnBytes(m_scan.get(), 1, m_block);
        m_events = BlockEvents(m_block);
    }
    share = m_share;
    if (DecodeEventBody(m_events.Body(), m_events.Inode(), m_prefixes[static_cast<size_t>(m_share)],
                        m_names, event))
        return 0;
    return Fail(why, "the event of inode " + std::to_string(m_events.Inode()) + " is damaged"), -1;
}

}  // namespace eventstore
