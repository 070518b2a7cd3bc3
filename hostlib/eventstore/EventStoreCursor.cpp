#include "hostlib/eventstore/EventStoreCursor.h"

#include <cstring>

namespace eventstore {

namespace {
bool BeginsWith(const std::string& text, const std::string& prefix) {
    return text.size() >= prefix.size() && memcmp(text.data(), prefix.data(), prefix.size()) == 0;
}
}  // namespace

void ReadCursor::Start(const Shares& shares, const std::string& prefix, bool withLeft,
                       bool anyMoved) {
    m_prefix = prefix;
    m_phases.clear();
    m_phase = 0;
    m_bound = false;
    m_events = BlockEvents();
    std::vector<size_t> under, above;
    shares.Related(prefix, under, above);
    // In id order, as the shares were made.
    for (size_t u = 0, a = 0; u < under.size() || a < above.size();) {
        if (a == above.size() || (u < under.size() && under[u] < above[a])) {
            m_phases.push_back({kWhole, under[u++]});
        } else {
            m_phases.push_back({kPathUnder, above[a++]});
        }
    }
    if (withLeft) {
        for (size_t id : above) m_phases.push_back({kLeftInShare, id});
        if (anyMoved) m_phases.push_back({kLeftThroughMoved, 0});
    }
    m_state = kStreaming;
}

void ReadCursor::End(Connection* connection) {
    if (connection && m_bound) sqlite3_reset(PhaseStatement(*connection));
    m_bound = false;
    m_phases.clear();
    m_phase = 0;
    m_state = kNoRead;
}

sqlite3_stmt* ReadCursor::PhaseStatement(Connection& connection) const {
    return m_phases[m_phase].kind == kLeftThroughMoved ? connection.moved.Reader()
                                                       : connection.shareBlocks.get();
}

bool ReadCursor::LeftThePrefix(const ChangeEventItem& event) const {
    return BeginsWith(event.strOldPath, m_prefix) && !BeginsWith(event.strPath, m_prefix);
}

int ReadCursor::NextBlock(Connection& connection) {
    sqlite3_stmt* statement = PhaseStatement(connection);
    if (!m_bound) {
        sqlite3_bind_int64(statement, 1, static_cast<int64_t>(m_phases[m_phase].share));
        m_bound = true;
    }
    const int rc = sqlite3_step(statement);
    if (rc == SQLITE_ROW) {
        ColumnBytes(statement, 0, m_block);
        m_events = BlockEvents(m_block);
    } else {
        sqlite3_reset(statement);
        m_bound = false;
    }
    return rc;
}

int ReadCursor::NextMoved(Connection& connection, const StoreFailure& store, ChangeEventItem& event,
                          CRyError& reason) {
    sqlite3_stmt* moved = connection.moved.Reader();
    const int64_t inode = sqlite3_column_int64(moved, 0);
    StoredBlock block;
    const int rc = connection.FindBlock(inode, block);
    if (rc == SQLITE_ROW && connection.EventIn(block, inode, event)) return 0;
    reason = rc == SQLITE_ROW || rc == SQLITE_DONE || rc == SQLITE_CORRUPT
                 ? store.CorruptRow(FX_LOCATION, "GetNextEvent", inode)
                 : store.SqliteError(FX_LOCATION, "GetNextEvent", connection.db.get(), rc);
    return -1;
}

int ReadCursor::Next(Connection& connection, const StoreFailure& store, ChangeEventItem& event,
                     CRyError& reason) {
    while (m_phase < m_phases.size()) {
        const Phase current = m_phases[m_phase];
        if (current.kind == kLeftThroughMoved) {
            sqlite3_stmt* moved = connection.moved.Reader();
            m_bound = true;
            const int rc = sqlite3_step(moved);
            if (rc == SQLITE_ROW) {
                if (NextMoved(connection, store, event, reason) != 0) return -1;
                if (LeftThePrefix(event)) return 0;
                continue;
            }
            sqlite3_reset(moved);
            m_bound = false;
            if (rc != SQLITE_DONE) {
                reason = store.SqliteError(FX_LOCATION, "GetNextEvent", connection.db.get(), rc);
                return -1;
            }
            ++m_phase;
            continue;
        }
        if (!m_events.Next(&event)) {
            if (m_events.Damaged()) {
                reason = store.Error(
                    FX_LOCATION, "GetNextEvent",
                    "a block of share " + std::to_string(current.share) + " is damaged");
                return -1;
            }
            const int rc = NextBlock(connection);
            if (rc == SQLITE_DONE) ++m_phase;
            if (rc == SQLITE_ROW || rc == SQLITE_DONE) continue;
            reason = store.SqliteError(FX_LOCATION, "GetNextEvent", connection.db.get(), rc);
            return -1;
        }
        const std::string& prefix = connection.shares.Prefix(current.share);
        // Only the path, until it is known to belong to the read.
        if (current.kind == kPathUnder &&
            m_events.ReadPath(prefix, connection.names, event.strPath) &&
            !BeginsWith(event.strPath, m_prefix))
            continue;
        if (!m_events.Read(prefix, connection.names, event)) {
            reason = store.CorruptRow(FX_LOCATION, "GetNextEvent", m_events.Inode());
            return -1;
        }
        // One whose old path lies in another share comes through moved.
        if (current.kind == kLeftInShare &&
            (!LeftThePrefix(event) || connection.shares.ShareOf(event.strOldPath) != current.share))
            continue;
        return 0;
    }
    m_state = kExhausted;
    return 1;
}

}  // namespace eventstore
