#include "hostlib/eventstore/EventStoreCursor.h"

#include <cstring>

namespace eventstore {

namespace {
bool BeginsWith(const std::string& text, const std::string& prefix) {
    return text.size() >= prefix.size() && memcmp(text.data(), prefix.data(), prefix.size()) == 0;
}
}  // namespace

void ReadCursor::Start(const ShareTables& tables, const std::string& prefix, bool withLeft,
                       bool anyMoved) {
    m_prefix = prefix;
    m_phases.clear();
    m_phase = 0;
    std::vector<size_t> under, above;
    tables.Related(prefix, under, above);
    // In id order, as the tables were made.
    for (size_t u = 0, a = 0; u < under.size() || a < above.size();) {
        if (a == above.size() || (u < under.size() && under[u] < above[a])) {
            m_phases.push_back({kWhole, under[u++]});
        } else {
            m_phases.push_back({kPathUnder, above[a++]});
        }
    }
    if (withLeft) {
        for (size_t id : above) m_phases.push_back({kLeftInTable, id});
        if (anyMoved) m_phases.push_back({kLeftThroughMoved, 0});
    }
    m_state = kStreaming;
}

void ReadCursor::End(Connection* connection) {
    if (connection && m_state == kStreaming && m_phase < m_phases.size())
        sqlite3_reset(PhaseStatement(*connection, false));
    m_phases.clear();
    m_phase = 0;
    m_state = kNoRead;
}

sqlite3_stmt* ReadCursor::PhaseStatement(Connection& connection, bool prepare) const {
    const Phase& current = m_phases[m_phase];
    if (current.kind == kLeftThroughMoved) return connection.moved.Reader();
    return prepare ? connection.tables.Get(connection.db.get(), current.table, kScanTable)
                   : connection.tables.Prepared(current.table, kScanTable);
}

bool ReadCursor::LeftThePrefix(const ChangeEventItem& event) const {
    return BeginsWith(event.strOldPath, m_prefix) && !BeginsWith(event.strPath, m_prefix);
}

int ReadCursor::NextMoved(Connection& connection, const StoreFailure& store, ChangeEventItem& event,
                          CRyError& reason) {
    sqlite3_stmt* moved = connection.moved.Reader();
    const int64_t inode = sqlite3_column_int64(moved, 0);
    const int64_t id = sqlite3_column_int64(moved, 1);
    if (id < 0 || static_cast<uint64_t>(id) >= connection.tables.Count()) {
        reason = store.CorruptRow(FX_LOCATION, "GetNextEvent", inode);
        return -1;
    }
    const ShareTable& table = connection.tables[static_cast<size_t>(id)];
    sqlite3_stmt* lookup =
        connection.tables.Get(connection.db.get(), static_cast<size_t>(id), kSelectInode);
    if (!lookup) {
        reason = store.SqliteError(FX_LOCATION, "GetNextEvent", connection.db.get());
        return -1;
    }
    sqlite3_bind_int64(lookup, 1, inode);
    const int rc = sqlite3_step(lookup);
    const bool read =
        rc == SQLITE_ROW && ReadEventRow(lookup, table.prefix, connection.names, event);
    sqlite3_reset(lookup);
    if (read) return 0;
    reason = rc == SQLITE_ROW || rc == SQLITE_DONE
                 ? store.CorruptRow(FX_LOCATION, "GetNextEvent", inode)
                 : store.SqliteError(FX_LOCATION, "GetNextEvent", connection.db.get());
    return -1;
}

int ReadCursor::Next(Connection& connection, const StoreFailure& store, ChangeEventItem& event,
                     CRyError& reason) {
    while (m_phase < m_phases.size()) {
        const Phase current = m_phases[m_phase];
        sqlite3_stmt* statement = PhaseStatement(connection, true);
        const int rc = statement ? sqlite3_step(statement) : SQLITE_ERROR;
        if (rc == SQLITE_DONE) {
            sqlite3_reset(statement);
            ++m_phase;
            continue;
        }
        if (rc != SQLITE_ROW) {
            reason = store.SqliteError(FX_LOCATION, "GetNextEvent", connection.db.get());
            return -1;
        }
        if (current.kind == kLeftThroughMoved) {
            if (NextMoved(connection, store, event, reason) != 0) return -1;
            if (LeftThePrefix(event)) return 0;
            continue;
        }
        const ShareTable& table = connection.tables[current.table];
        // Only the path, until it is known to belong to the read.
        const bool pathOnly = current.kind == kPathUnder;
        if (pathOnly && ReadRowPath(statement, table.prefix, connection.names, event.strPath) &&
            !BeginsWith(event.strPath, m_prefix))
            continue;
        if (!ReadEventRow(statement, table.prefix, connection.names, event)) {
            reason =
                store.CorruptRow(FX_LOCATION, "GetNextEvent", sqlite3_column_int64(statement, 0));
            return -1;
        }
        // One whose old path lies in another table comes through moved.
        if (current.kind == kLeftInTable &&
            (!LeftThePrefix(event) || connection.tables.TableOf(event.strOldPath) != current.table))
            continue;
        return 0;
    }
    m_state = kExhausted;
    return 1;
}

}  // namespace eventstore
