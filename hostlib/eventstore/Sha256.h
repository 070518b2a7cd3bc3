// SHA-256 of a byte string, as 64 lower-case hex digits. Used where a name
// must stay one-to-one in practice but has to fit a bounded length, so that
// no new library is needed for it.
#pragma once

#include <string>

namespace eventstore {

std::string Sha256Hex(const std::string& bytes);

}  // namespace eventstore
