// Reads a change database file for tools (snapagent inspect) with the
// store's own layout (Layout.h): the file must carry this layout's version
// (an older or a newer one of ours is named as such), and each table read
// must be a plain table: a view or a virtual table put in its place could
// yield rows without end. Streams every event, share by share and block by
// block, with whole paths. Read-only; one thread.
#pragma once

#include "hostlib/eventstore/BlockEvents.h"
#include "hostlib/eventstore/Sql.h"
#include "records/SnapRecords.h"

#include <string>
#include <vector>

namespace eventstore {

class StoreReader {
public:
    // Fails with the reason when the file cannot be read as a store of this
    // layout.
    Status Open(const std::string& path);
    // more true: event holds the next event and share its share's id; more
    // false: every event has been read. A failure ends the read.
    Status Next(ChangeEventItem& event, int64_t& share, bool& more);

private:
    Status IsPlainTable(const std::string& name);
    Status ReadNames();
    // The handle's failure, or reason when it is not empty.
    Status Fail(const std::string& reason = std::string()) const;

    Database m_db;
    PathDictionary m_names;
    std::vector<std::string> m_prefixes;  // by share
    Statement m_scan;
    int64_t m_share = 0;
    std::string m_block;
    BlockEvents m_events;
};

}  // namespace eventstore
