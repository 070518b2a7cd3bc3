// Checks the config file before a job or `snapagent check` makes any array
// call, so that a mistake in it ends the run with one line naming the file,
// the line and the key, instead of a setting silently left at its default or
// the plug-in's "Unable to connect to array" after it failed to reach an
// array that was never built. Every section and key the plug-in, the host
// library and the array back ends read is known here with the form of its
// value; an unknown one is named with the nearest known one.
#pragma once

#include "array/local/LocalArray.h"
#include "records/SnapRecords.h"

#include <string>
#include <vector>

namespace snapagent {

struct ConfigCheckResult {
    std::string strError;               // empty: the config is usable
    std::vector<std::string> warnings;  // usable, but worth telling
};

// Reads the config at path (which the caller also names in
// SNAPCLIENT_CONFIG, since the back-end checks read it from there) and checks
// it for client clientId.
ConfigCheckResult CheckConfig(const std::string& path, ULONG clientId);

// The local array the config names for the client (backend local, or a
// recording over it); false for another back end or a config it refuses.
bool LoadConfiguredLocalArray(ULONG clientId, LocalArrayConfig& local);

// The known word closest to word (a small edit distance), or empty.
std::string NearestWord(const std::string& word, const std::vector<std::string>& known);

}  // namespace snapagent
