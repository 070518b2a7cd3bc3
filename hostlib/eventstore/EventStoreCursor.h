// A read of a change event store by path prefix, streamed from SQLite one
// row at a time. It runs in phases, each over one statement:
//   whole          every row of a table whose prefix begins with the read's;
//   path under     the rows of a table whose prefix begins the read's, when
//                  their path begins with the read's prefix;
// and, for a share's read (withLeft), the events whose old path begins with
// the prefix while their path does not:
//   left in table  from a table that holds both (one whose prefix begins
//                  the read's), when the old path lies in that same table;
//   left, moved    every other one, found through the moved index.
// Each event comes once. The cursor holds no statement of its own: End()
// (or the last row) resets the one it stepped, and the connection must
// outlive a read in progress.
#pragma once

#include "hostlib/eventstore/EventStoreConnection.h"

#include <string>
#include <vector>

namespace eventstore {

class ReadCursor {
public:
    enum State { kNoRead, kStreaming, kExhausted };

    State GetState() const { return m_state; }
    void Start(const ShareTables& tables, const std::string& prefix, bool withLeft, bool anyMoved);
    // 0 with the next event, 1 at the end (the read is then exhausted), -1
    // with the reason.
    int Next(Connection& connection, const StoreFailure& store, ChangeEventItem& event,
             CRyError& reason);
    // Ends the read; connection is the one it runs on, if still open.
    void End(Connection* connection);

private:
    enum PhaseKind { kWhole, kPathUnder, kLeftInTable, kLeftThroughMoved };
    struct Phase {
        PhaseKind kind;
        size_t table;
    };
    // The statement of the current phase; unless prepare, nullptr for a
    // table statement not prepared yet.
    sqlite3_stmt* PhaseStatement(Connection& connection, bool prepare) const;
    bool LeftThePrefix(const ChangeEventItem& event) const;
    // The moved index's row: reads the event of its inode from its table.
    int NextMoved(Connection& connection, const StoreFailure& store, ChangeEventItem& event,
                  CRyError& reason);

    State m_state = kNoRead;
    std::string m_prefix;
    std::vector<Phase> m_phases;
    size_t m_phase = 0;
};

}  // namespace eventstore
