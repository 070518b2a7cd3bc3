#include "hostlib/eventstore/EventStoreTables.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <numeric>

namespace eventstore {

namespace {
uint32_t HashOf(std::string_view text) {
    return static_cast<uint32_t>(std::hash<std::string_view>()(text));
}
}  // namespace

std::vector<std::string> ShareTables::Prefixes() const {
    std::vector<std::string> prefixes;
    for (const auto& table : m_tables) prefixes.push_back(table->prefix);
    return prefixes;
}

int ShareTables::Add(sqlite3* db, sqlite3_stmt* noteShare, const std::string& prefix) {
    const size_t id = m_tables.size();
    sqlite3_bind_int64(noteShare, 1, static_cast<int64_t>(id));
    BindBytes(noteShare, 2, prefix.data(), prefix.size());
    int rc = sqlite3_step(noteShare);
    sqlite3_reset(noteShare);
    if (rc != SQLITE_DONE) return rc;
    rc = sqlite3_exec(db, ShareTableSql(kCreateTable, ShareTableName(id)).c_str(), nullptr, nullptr,
                      nullptr);
    if (rc != SQLITE_OK) return rc;
    m_tables.push_back(std::make_unique<ShareTable>());
    m_tables.back()->prefix = prefix;
    if (!id) return rc;
    if ((m_tables.size() + 1) * 2 > m_slots.size()) Grow();
    Place(id, static_cast<uint32_t>(m_prefixBytes.size()));
    m_prefixBytes += prefix;
    if (std::find(m_prefixLengths.begin(), m_prefixLengths.end(), prefix.size()) ==
        m_prefixLengths.end())
        m_prefixLengths.insert(std::upper_bound(m_prefixLengths.begin(), m_prefixLengths.end(),
                                                prefix.size(), std::greater<size_t>()),
                               prefix.size());
    return rc;
}

void ShareTables::Place(size_t id, uint32_t at) {
    const std::string& prefix = m_tables[id]->prefix;
    const uint32_t hash = HashOf(prefix);
    m_slots[SlotOf(prefix, hash)] = {hash, static_cast<uint32_t>(id), at,
                                     static_cast<uint32_t>(prefix.size())};
}

void ShareTables::Grow() {
    m_slots.assign(std::max<size_t>(16, m_slots.size() * 2), Slot{0, 0, 0, 0});
    uint32_t at = 0;
    for (size_t id = 1; id + 1 < m_tables.size(); ++id) {
        Place(id, at);
        at += static_cast<uint32_t>(m_tables[id]->prefix.size());
    }
}

size_t ShareTables::SlotOf(std::string_view prefix, uint32_t hash) const {
    const size_t mask = m_slots.size() - 1;
    for (size_t at = hash & mask;; at = (at + 1) & mask) {
        const Slot& slot = m_slots[at];
        if (!slot.id || (slot.hash == hash && slot.length == prefix.size() &&
                         memcmp(m_prefixBytes.data() + slot.at, prefix.data(), prefix.size()) == 0))
            return at;
    }
}

sqlite3_stmt* ShareTables::Get(sqlite3* db, size_t id, TableStatement which) {
    Statement& statement = m_tables[id]->statements[which];
    if (!statement &&
        Prepare(db, ShareTableSql(which, ShareTableName(id)), statement, true) != SQLITE_OK)
        return nullptr;
    return statement.get();
}

sqlite3_stmt* ShareTables::InsertMany(sqlite3* db, size_t id, size_t rows) {
    Statement& statement = m_tables[id]->insertMany;
    if (!statement &&
        Prepare(db, InsertRowsSql(ShareTableName(id), rows), statement, true) != SQLITE_OK)
        return nullptr;
    return statement.get();
}

size_t ShareTables::TableOf(const std::string& path) const {
    for (size_t length : m_prefixLengths) {
        if (length > path.size()) continue;
        const std::string_view prefix(path.data(), length);
        const Slot& slot = m_slots[SlotOf(prefix, HashOf(prefix))];
        if (slot.id) return slot.id;
    }
    return 0;
}

void ShareTables::Related(const std::string& prefix, std::vector<size_t>& under,
                          std::vector<size_t>& above) const {
    const auto prefixOf = [this](size_t id) -> const std::string& { return m_tables[id]->prefix; };
    if (m_sorted.size() != m_tables.size()) {
        m_sorted.resize(m_tables.size());
        std::iota(m_sorted.begin(), m_sorted.end(), size_t(0));
        std::sort(m_sorted.begin(), m_sorted.end(),
                  [&](size_t a, size_t b) { return prefixOf(a) < prefixOf(b); });
    }
    under.clear();
    auto at =
        std::lower_bound(m_sorted.begin(), m_sorted.end(), prefix,
                         [&](size_t id, const std::string& text) { return prefixOf(id) < text; });
    for (; at != m_sorted.end() && prefixOf(*at).compare(0, prefix.size(), prefix) == 0; ++at)
        under.push_back(*at);
    std::sort(under.begin(), under.end());
    above.clear();
    if (prefix.empty()) return;
    above.push_back(0);
    for (size_t length : m_prefixLengths) {
        if (length >= prefix.size()) continue;
        const std::string_view part(prefix.data(), length);
        const Slot& slot = m_slots[SlotOf(part, HashOf(part))];
        if (slot.id) above.push_back(slot.id);
    }
    std::sort(above.begin(), above.end());
}

}  // namespace eventstore
