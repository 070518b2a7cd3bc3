// How the change database packs the fields of an event beside its paths
// (BlockEvents.h): the change text is a small number for the three texts
// SnapDiff sends (any other text is kept as it is), and the times,
// attribute, flags and file type are packed into a run of varints. The times
// are the bulk of an event and sit close to each other, so the changed and
// accessed times are kept as differences from the modification time; flags
// and file type share a varint.
#pragma once

#include "records/SnapRecords.h"

#include <string>

namespace eventstore {

// The change texts by code; a code outside this table is none of them.
extern const char* const kChangeTexts[3];
const std::string& ChangeTextOf(int code);
// Code of a change text, or -1 when it is none of the three.
int ChangeCodeOf(const std::string& text);

// At most six varints of at most ten bytes each.
const size_t kMaxPackedDetails = 60;
// Writes the packed details into packed and returns their length.
size_t PackDetails(const ChangeEventItem& event, unsigned char* packed);
// Reads packed details from at on and moves at past them; false when the
// bytes are not packed details (the file was damaged).
bool ReadDetails(const unsigned char*& at, const unsigned char* end, ChangeEventItem& event);
// Moves at past packed details without reading them; false as ReadDetails.
bool SkipDetails(const unsigned char*& at, const unsigned char* end);
// The same as ReadDetails for bytes that hold packed details and nothing else.
bool UnpackDetails(const unsigned char* bytes, size_t size, ChangeEventItem& event);

}  // namespace eventstore
