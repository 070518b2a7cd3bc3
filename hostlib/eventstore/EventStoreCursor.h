// A read of a change event store by path prefix, streamed from SQLite one
// block at a time. It runs in phases, each over the blocks of one share:
//   whole          every event of a share whose prefix begins with the read's;
//   path under     the events of a share whose prefix begins the read's, when
//                  their path begins with the read's prefix;
// and, for a share's read (withLeft), the events whose old path begins with
// the prefix while their path does not:
//   left in share  from a share that holds both (one whose prefix begins
//                  the read's), when the old path lies in that same share;
//   left, moved    every other one, found through the moved index.
// Each event comes once. The cursor keeps a copy of the block it reads, so
// that a write meanwhile cannot pull the bytes from under it; it holds no
// statement of its own: End() (or the last block) resets the one it
// stepped, and the connection must outlive a read in progress.
#pragma once

#include "hostlib/eventstore/EventStoreBlock.h"
#include "hostlib/eventstore/EventStoreConnection.h"

#include <string>
#include <vector>

namespace eventstore {

class ReadCursor {
public:
    enum State { kNoRead, kStreaming, kExhausted };

    State GetState() const { return m_state; }
    void Start(const Shares& shares, const std::string& prefix, bool withLeft, bool anyMoved);
    // 0 with the next event, 1 at the end (the read is then exhausted), -1
    // with the reason.
    int Next(Connection& connection, const StoreFailure& store, ChangeEventItem& event,
             CRyError& reason);
    // Ends the read; connection is the one it runs on, if still open.
    void End(Connection* connection);

private:
    enum PhaseKind { kWhole, kPathUnder, kLeftInShare, kLeftThroughMoved };
    struct Phase {
        PhaseKind kind;
        size_t share;
    };
    sqlite3_stmt* PhaseStatement(Connection& connection) const;
    bool LeftThePrefix(const ChangeEventItem& event) const;
    // Loads the phase's next block; SQLITE_ROW, SQLITE_DONE at the phase's
    // end, else the failing code.
    int NextBlock(Connection& connection);
    // The event of the moved index's current row, read from its block.
    int NextMoved(Connection& connection, const StoreFailure& store, ChangeEventItem& event,
                  CRyError& reason);

    State m_state = kNoRead;
    std::string m_prefix;
    std::vector<Phase> m_phases;
    size_t m_phase = 0;
    bool m_bound = false;  // the phase's statement is bound and stepping
    std::string m_block;
    BlockEvents m_events;
};

}  // namespace eventstore
