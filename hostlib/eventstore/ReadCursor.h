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

#include "hostlib/eventstore/BlockEvents.h"
#include "hostlib/eventstore/Connection.h"

#include <string>
#include <vector>

namespace eventstore {

class ReadCursor {
public:
    enum State { kNoRead, kStreaming, kExhausted };

    State GetState() const { return m_state; }
    void Start(const Shares& shares, const std::string& prefix, bool withLeft, bool anyMoved);
    // The next event into event (found true), or none at the end (found
    // false; the read is then exhausted). A damaged block or row is corrupt.
    Status Next(Connection& connection, ChangeEventItem& event, bool& found);
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
    // Loads the phase's next block; loaded false at the phase's end.
    Status NextBlock(Connection& connection, bool& loaded);
    // The event of the moved index's current row, read from its block.
    Status NextMoved(Connection& connection, ChangeEventItem& event);

    State m_state = kNoRead;
    std::string m_prefix;
    std::vector<Phase> m_phases;
    size_t m_phase = 0;
    bool m_bound = false;  // the phase's statement is bound and stepping
    std::string m_block;
    BlockEvents m_events;
};

}  // namespace eventstore
