#include "hostlib/eventstore/Connection.h"

#include "hostlib/eventstore/BlockEvents.h"
#include "hostlib/eventstore/Layout.h"
#include "hostlib/eventstore/StoreFile.h"

namespace eventstore {

Status Connection::Execute(const char* sql) {
    const int rc = sqlite3_exec(db.get(), sql, nullptr, nullptr, nullptr);
    return rc == SQLITE_OK ? Status() : SqliteStatus(db.get(), rc);
}

Status Connection::Open(const std::string& path) {
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open_v2(SqliteFileName(path).c_str(), &raw,
                                   SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
    db.reset(raw);
    if (rc != SQLITE_OK || !raw) return SqliteStatus(raw, raw ? rc : SQLITE_NOMEM);
    Status status = Execute(CreateSchemaSql().c_str());
    const std::pair<const char*, Statement*> statements[] = {
        {kNoteShare, &noteShare}, {kNoteName, &noteName},         {kAddBlock, &addBlock},
        {kReadBlock, &readBlock}, {kRewriteBlock, &rewriteBlock}, {kReadShareBlocks, &shareBlocks}};
    for (const auto& statement : statements) {
        if (status.ok()) status = Prepare(raw, statement.first, *statement.second, true);
    }
    if (status.ok()) status = inodes.Prepare(raw);
    if (status.ok()) status = moved.Prepare(raw);
    if (status.ok()) status = AddShares({std::string()});
    return status;
}

Status Connection::AddShares(const std::vector<std::string>& prefixes) {
    Status status = Execute("BEGIN");
    for (const std::string& prefix : prefixes) {
        if (!status.ok()) break;
        sqlite3_bind_int64(noteShare.get(), 1, static_cast<int64_t>(shares.Count()));
        BindBytes(noteShare.get(), 2, prefix.data(), prefix.size());
        status = StepOnce(noteShare.get());
        if (status.ok()) shares.Add(prefix);
    }
    if (status.ok()) status = Execute("COMMIT");
    return status;
}

Status Connection::WriteNewNames() {
    for (; namesWritten < names.Count(); ++namesWritten) {
        const std::string_view name = names.Name(namesWritten);
        sqlite3_bind_int64(noteName.get(), 1, static_cast<int64_t>(namesWritten));
        BindBytes(noteName.get(), 2, name.data(), name.size());
        Status status = StepOnce(noteName.get());
        if (!status.ok()) return status;
    }
    return Status();
}

Status Connection::AddBlock(size_t share, const std::string& events, int64_t& id) {
    Status status = WriteNewNames();
    if (!status.ok()) return status;
    sqlite3_bind_int64(addBlock.get(), 1, static_cast<int64_t>(share));
    BindBytes(addBlock.get(), 2, events.data(), events.size());
    status = StepOnce(addBlock.get());
    id = sqlite3_last_insert_rowid(db.get());
    return status;
}

Status Connection::FindBlock(int64_t inode, StoredBlock& block) {
    Status status = inodes.Find(inode, block.id);
    if (!status.ok() || !block.id) return status;
    sqlite3_bind_int64(readBlock.get(), 1, block.id);
    const int rc = sqlite3_step(readBlock.get());
    if (rc == SQLITE_ROW) {
        const int64_t share = sqlite3_column_int64(readBlock.get(), 0);
        if (share < 0 || static_cast<uint64_t>(share) >= shares.Count())
            status = SqliteStatus(nullptr, SQLITE_CORRUPT);
        block.share = static_cast<size_t>(share);
        ColumnBytes(readBlock.get(), 1, block.events);
    } else {
        status = SqliteStatus(db.get(), rc == SQLITE_DONE ? SQLITE_CORRUPT : rc);
    }
    sqlite3_reset(readBlock.get());
    return status;
}

bool Connection::EventIn(const StoredBlock& block, int64_t inode, ChangeEventItem& event) const {
    BlockEvents events(block.events);
    while (events.Next(&event)) {
        if (events.Inode() == inode) return events.Read(shares.Prefix(block.share), names, event);
    }
    return false;
}

Status Connection::RewriteBlock(int64_t id, const std::string& events) {
    Status status = WriteNewNames();
    if (!status.ok()) return status;
    sqlite3_bind_int64(rewriteBlock.get(), 1, id);
    BindBytes(rewriteBlock.get(), 2, events.data(), events.size());
    return StepOnce(rewriteBlock.get());
}

}  // namespace eventstore
