#include "hostlib/eventstore/ReadCursor.h"

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

Status ReadCursor::NextBlock(Connection& connection, bool& loaded) {
    sqlite3_stmt* statement = PhaseStatement(connection);
    if (!m_bound) {
        sqlite3_bind_int64(statement, 1, static_cast<int64_t>(m_phases[m_phase].share));
        m_bound = true;
    }
    const int rc = sqlite3_step(statement);
    loaded = rc == SQLITE_ROW;
    if (loaded) {
        ColumnBytes(statement, 0, m_block);
        m_events = BlockEvents(m_block);
        return Status();
    }
    sqlite3_reset(statement);
    m_bound = false;
    return rc == SQLITE_DONE ? Status() : SqliteStatus(connection.db.get(), rc);
}

Status ReadCursor::NextMoved(Connection& connection, ChangeEventItem& event) {
    const int64_t inode = sqlite3_column_int64(connection.moved.Reader(), 0);
    StoredBlock block;
    Status status = connection.FindBlock(inode, block);
    if (!status.ok() && !status.IsCorruption()) return status;
    if (status.ok() && block.id && connection.EventIn(block, inode, event)) return status;
    return DamagedRow(inode);
}

Status ReadCursor::Next(Connection& connection, ChangeEventItem& event, bool& found) {
    found = true;
    while (m_phase < m_phases.size()) {
        const Phase current = m_phases[m_phase];
        if (current.kind == kLeftThroughMoved) {
            sqlite3_stmt* moved = connection.moved.Reader();
            m_bound = true;
            const int rc = sqlite3_step(moved);
            if (rc == SQLITE_ROW) {
                Status status = NextMoved(connection, event);
                if (!status.ok() || LeftThePrefix(event)) return status;
                continue;
            }
            sqlite3_reset(moved);
            m_bound = false;
            if (rc != SQLITE_DONE) return SqliteStatus(connection.db.get(), rc);
            ++m_phase;
            continue;
        }
        if (!m_events.Next(&event)) {
            if (m_events.Damaged())
                return Status::Corruption("a block of share " + std::to_string(current.share) +
                                          " is damaged");
            bool loaded = false;
            Status status = NextBlock(connection, loaded);
            if (!status.ok()) return status;
            if (!loaded) ++m_phase;
            continue;
        }
        const std::string& prefix = connection.shares.Prefix(current.share);
        // Only the path, until it is known to belong to the read.
        if (current.kind == kPathUnder &&
            m_events.ReadPath(prefix, connection.names, event.strPath) &&
            !BeginsWith(event.strPath, m_prefix))
            continue;
        if (!m_events.Read(prefix, connection.names, event)) return DamagedRow(m_events.Inode());
        // One whose old path lies in another share comes through moved.
        if (current.kind == kLeftInShare &&
            (!LeftThePrefix(event) || connection.shares.ShareOf(event.strOldPath) != current.share))
            continue;
        return Status();
    }
    m_state = kExhausted;
    found = false;
    return Status();
}

}  // namespace eventstore
