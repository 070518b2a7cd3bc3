#include "hostlib/eventstore/StoreReader.h"

#include "hostlib/eventstore/Layout.h"
#include "hostlib/eventstore/StoreFile.h"

namespace eventstore {

Status StoreReader::Fail(const std::string& reason) const {
    if (!reason.empty()) return Status::Corruption(reason);
    return SqliteStatus(m_db.get(), sqlite3_errcode(m_db.get()));
}

Status StoreReader::IsPlainTable(const std::string& name) {
    Statement schema;
    if (!Prepare(m_db.get(),
                 "SELECT type = 'table' AND sql NOT LIKE 'CREATE VIRTUAL%' FROM sqlite_master "
                 "WHERE name = ?1",
                 schema, false)
             .ok())
        return Fail();
    sqlite3_bind_text(schema.get(), 1, name.c_str(), -1, SQLITE_STATIC);
    const int rc = sqlite3_step(schema.get());
    if (rc == SQLITE_ROW && sqlite3_column_int(schema.get(), 0)) return Status::OK();
    return rc == SQLITE_ROW || rc == SQLITE_DONE
               ? Status::NotSupported(name + " is not a table of a change database")
               : Fail();
}

Status StoreReader::ReadNames() {
    Statement names;
    Status status = IsPlainTable("names");
    if (!status.ok()) return status;
    if (!Prepare(m_db.get(), kReadNames, names, false).ok()) return Fail();
    int step;
    std::string name;
    while ((step = sqlite3_step(names.get())) == SQLITE_ROW) {
        ColumnBytes(names.get(), 1, name);
        // Numbers run from 0 without a gap, each a name the store would give one.
        if (sqlite3_column_int64(names.get(), 0) != static_cast<int64_t>(m_names.Count()) ||
            !m_names.Add(name))
            return Fail("the names table is damaged");
    }
    return step == SQLITE_DONE ? status : Fail();
}

Status StoreReader::Open(const std::string& path) {
    sqlite3* raw = nullptr;
    const int rc =
        sqlite3_open_v2(SqliteFileName(path).c_str(), &raw, SQLITE_OPEN_READONLY, nullptr);
    m_db.reset(raw);
    if (!raw) return Status::IOError("out of memory");
    if (rc != SQLITE_OK) return Fail();
    Statement statement;
    if (!Prepare(raw, "PRAGMA user_version", statement, false).ok() ||
        sqlite3_step(statement.get()) != SQLITE_ROW)
        return Fail();
    const int version = sqlite3_column_int(statement.get(), 0);
    const std::string ours = std::to_string(kLayoutVersion);
    if (version > kLayoutVersion)
        return Status::NotSupported("a change database of a newer layout (" +
                                    std::to_string(version) +
                                    ") than the layout this agent reads (" + ours +
                                    "): inspect it with the snapagent of the agent that wrote it");
    if (version != kLayoutVersion) {
        if (const char* older = OlderLayout(version))
            return Status::NotSupported(std::string("a change database of an older layout: ") +
                                        older + "; this agent reads layout " + ours);
        return Status::NotSupported("not a change database of this agent (user_version " +
                                    std::to_string(version) + ")");
    }
    Status status = IsPlainTable("shares");
    if (status.ok()) status = IsPlainTable("blocks");
    if (status.ok()) status = ReadNames();
    if (!status.ok()) return status;
    if (!Prepare(raw, kReadShares, statement, false).ok()) return Fail();
    int step;
    while ((step = sqlite3_step(statement.get())) == SQLITE_ROW) {
        // Ids run from 0 without a gap, as the store numbers its shares.
        if (sqlite3_column_int64(statement.get(), 0) != static_cast<int64_t>(m_prefixes.size()))
            return Fail("the shares table is damaged");
        m_prefixes.emplace_back();
        ColumnBytes(statement.get(), 1, m_prefixes.back());
    }
    if (step != SQLITE_DONE) return Fail();
    return Prepare(raw, kReadAllBlocks, m_scan, false).ok() ? status : Fail();
}

Status StoreReader::Next(ChangeEventItem& event, int64_t& share, bool& more) {
    more = false;
    while (!m_events.Next(&event)) {
        if (m_events.Damaged())
            return Fail("a block of share " + std::to_string(m_share) + " is damaged");
        const int rc = sqlite3_step(m_scan.get());
        if (rc == SQLITE_DONE) return Status::OK();
        if (rc != SQLITE_ROW) return Fail();
        m_share = sqlite3_column_int64(m_scan.get(), 0);
        if (m_share < 0 || static_cast<uint64_t>(m_share) >= m_prefixes.size())
            return Fail("a block names share " + std::to_string(m_share) +
                        ", which the shares table lacks");
        ColumnBytes(m_scan.get(), 1, m_block);
        m_events = BlockEvents(m_block);
    }
    share = m_share;
    if (!DecodeEventBody(m_events.Body(), m_events.Inode(),
                         m_prefixes[static_cast<size_t>(m_share)], m_names, event))
        return Fail("the event of inode " + std::to_string(m_events.Inode()) + " is damaged");
    more = true;
    return Status::OK();
}

}  // namespace eventstore
