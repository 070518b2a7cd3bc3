// Reads a change database file for tools (snapagent inspect) with the
// store's own layout (EventStoreLayout.h): the file must carry this
// layout's version (an older one of ours is named as such), and each table
// read must be a plain table: a view or a virtual table put in its place
// could yield rows without end. Streams every event, share by share and
// block by block, with whole paths. Read-only; one thread.
#pragma once

#include "hostlib/eventstore/EventStoreBlock.h"
#include "hostlib/eventstore/EventStoreSql.h"
#include "records/SnapRecords.h"

#include <string>
#include <vector>

namespace eventstore {

class StoreReader {
public:
    // False with why when the file cannot be read as a store of this layout.
    bool Open(const std::string& path, std::string& why);
    // 0 with the next event and its share's id, 1 at the end, -1 with why.
    int Next(ChangeEventItem& event, int64_t& share, std::string& why);

private:
    bool IsPlainTable(const std::string& name, std::string& why);
    bool ReadNames(std::string& why);
    bool Fail(std::string& why, const std::string& reason);

    Database m_db;
    PathDictionary m_names;
    std::vector<std::string> m_prefixes;  // by share
    Statement m_scan;
    int64_t m_share = 0;
    std::string m_block;
    BlockEvents m_events;
};

}  // namespace eventstore
