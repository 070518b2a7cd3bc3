// File name of a change event store inside the job results folder, built
// from the previous snapshot name and the "current snapshot_volume" text.
//
// Each part is escaped byte by byte: A-Z, a-z, 0-9, '-', '_' and '.' stay as
// they are (a '.' that starts a part becomes "%2E"), every other byte
// becomes "%XX" with upper-case hex digits; snapshot names such as
// VKOP_2_15_812 thus stay readable in the folder. The parts are joined with '+', which the
// escaping never produces, and ".events.db" is appended. So the name never
// holds a '/', never starts with '.', and two different pairs of strings
// never give the same name: no array-supplied name can steer a store out of
// the folder or onto another store's file.
//
// A name that would exceed NAME_MAX (255 bytes) is replaced by the first
// part of the escaped name, '=', and the SHA-256 of the whole escaped name
// in hex, then the suffix. '=' appears in no escaped name, so the long form
// never meets a short one, and two long forms meet only if SHA-256 collides.
#pragma once

#include <string>

namespace eventstore {

std::string EscapeEventStoreNamePart(const std::string& part);
std::string EventStoreFileName(const std::string& prevSnapName,
                               const std::string& currSnapAndVolume);

}  // namespace eventstore
