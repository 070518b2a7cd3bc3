// How the change database keeps one event in a row: the inode is the row id,
// path and old path are BLOBs (a name may hold any byte), the change text is
// a small number for the three texts SnapDiff sends (any other text is kept
// as it is), and the times, attribute, flags and file type are packed into
// one BLOB of varints. The times are the bulk of a row and sit close to each
// other, so the changed and accessed times are kept as differences from the
// modification time.
#pragma once

#include "records/SnapRecords.h"

#include <string>

namespace eventstore {

// The change texts by code; a code outside this table is none of them.
extern const char* const kChangeTexts[3];
// Code of a change text, or -1 when it is none of the three.
int ChangeCodeOf(const std::string& text);

void PackDetails(const ChangeEventItem& event, std::string& packed);
// False when the bytes are not a packed row (the file was damaged).
bool UnpackDetails(const unsigned char* bytes, size_t size, ChangeEventItem& event);

}  // namespace eventstore
