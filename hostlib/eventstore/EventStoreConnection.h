// One open change database of the store: the handle with the share tables,
// the moved index and the dictionary of directory names. The handle is declared first so that it
// closes after every statement is finalized. The connection serves one thread, so SQLite does not
// lock it.
#pragma once

#include "hostlib/eventstore/EventStoreFailure.h"
#include "hostlib/eventstore/EventStoreMoved.h"
#include "hostlib/eventstore/EventStoreTables.h"

#include <string>
#include <vector>

namespace eventstore {

struct Connection {
    Database db;
    Statement noteShare;
    ShareTables tables;
    MovedIndex moved;
    Statement noteName;
    PathDictionary names;
    size_t namesWritten = 0;

    // Opens the store's new, empty file and lays out the schema with
    // share_0. CREATE TABLE (not IF NOT EXISTS) also refuses a database that
    // somebody put in place of the empty file.
    CRyError Open(const StoreFailure& store);
    // Adds a table for each prefix, in one transaction.
    CRyError AddTables(const StoreFailure& store, const std::vector<std::string>& prefixes,
                       const char* operation);
    // Writes the names numbered since the last call, in the open
    // transaction, before the rows that use them; SQLITE_DONE or the code.
    int WriteNewNames();
    CRyError Execute(const StoreFailure& store, const FXCodeLocation& where, const char* operation,
                     const std::string& sql);
};

}  // namespace eventstore
