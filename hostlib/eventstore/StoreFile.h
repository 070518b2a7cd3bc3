// The file of a change event store. It names every changed file of the
// volume, so it is its owner's alone (0600), and it is never written
// through a link: one planted where the file goes could point the store's
// writes anywhere. Links in the folder's own path are the operator's choice
// and are followed.
#pragma once

#include "hostlib/eventstore/StoreFailure.h"

#include <string>

namespace eventstore {

// Removes the earlier file of that name with SQLite's side files (unlinked,
// never emptied: another store object may still be reading it) and creates
// the new, empty file. Runs the "CreateFile" fault hook after the removal.
CRyError CreateStoreFile(const StoreFailure& store);

// The name under which SQLite opens path. SQLite takes a name that begins
// with "file:" for a URI and decodes its %XX escapes, so a relative folder
// of such a name would lead elsewhere; "./" keeps it the plain path it is.
std::string SqliteFileName(const std::string& path);

}  // namespace eventstore
