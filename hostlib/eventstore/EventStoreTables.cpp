#include "hostlib/eventstore/EventStoreTables.h"

#include <algorithm>
#include <functional>

namespace eventstore {

std::vector<std::string> ShareTables::Prefixes() const {
    std::vector<std::string> prefixes;
    for (const auto& table : m_tables) prefixes.push_back(table->prefix);
    return prefixes;
}

int ShareTables::Add(sqlite3* db, sqlite3_stmt* noteShare, const std::string& prefix) {
    const size_t id = m_tables.size();
    const std::string name = ShareTableName(id);
    std::unique_ptr<ShareTable> table(new ShareTable());
    table->prefix = prefix;
    sqlite3_bind_int64(noteShare, 1, static_cast<int64_t>(id));
    BindBytes(noteShare, 2, prefix.data(), prefix.size());
    int rc = sqlite3_step(noteShare);
    sqlite3_reset(noteShare);
    if (rc != SQLITE_DONE) return rc;
    rc = sqlite3_exec(db, ShareTableSql(kCreateTable, name).c_str(), nullptr, nullptr, nullptr);
    const struct {
        std::string sql;
        Statement& statement;
    } statements[] = {{InsertRowsSql(name, 1), table->insertOne},
                      {ShareTableSql(kSelectInode, name), table->selectInode},
                      {ShareTableSql(kInodeStored, name), table->inodeStored},
                      {ShareTableSql(kUpdateEvent, name), table->updateEvent},
                      {ShareTableSql(kDeleteEvent, name), table->deleteEvent},
                      {ShareTableSql(kScanTable, name), table->scan}};
    for (const auto& entry : statements) {
        if (rc != SQLITE_OK) break;
        rc = Prepare(db, entry.sql, entry.statement, true);
    }
    m_tables.push_back(std::move(table));
    if (!id) return rc;
    const std::string& kept = m_tables.back()->prefix;
    m_byPrefix[std::string_view(kept)] = id;
    if (std::find(m_prefixLengths.begin(), m_prefixLengths.end(), kept.size()) == m_prefixLengths.end())
        m_prefixLengths.insert(
            std::upper_bound(m_prefixLengths.begin(), m_prefixLengths.end(), kept.size(), std::greater<size_t>()),
            kept.size());
    return rc;
}

sqlite3_stmt* ShareTables::InsertMany(sqlite3* db, size_t id, size_t rows) {
    ShareTable& table = *m_tables[id];
    if (!table.insertMany && Prepare(db, InsertRowsSql(ShareTableName(id), rows), table.insertMany, true) != SQLITE_OK)
        return nullptr;
    return table.insertMany.get();
}

size_t ShareTables::TableOf(const std::string& path) const {
    for (size_t length : m_prefixLengths) {
        if (length > path.size()) continue;
        auto found = m_byPrefix.find(std::string_view(path.data(), length));
        if (found != m_byPrefix.end()) return found->second;
    }
    return 0;
}

}  // namespace eventstore
