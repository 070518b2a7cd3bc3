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
    std::string strError;               // empty: the config is usable; else the first problem
    std::vector<std::string> problems;  // every mistake that makes it unusable, in file order
    // Usable, but worth telling; check fails the ones that are doubts (a
    // section given twice, the sample's placeholder password), which a job
    // would run with as it reads them.
    std::vector<std::string> warnings;
    std::vector<std::string> doubts;
    // What a job tells before it runs: the warnings and the doubts.
    std::vector<std::string> JobWarnings() const {
        std::vector<std::string> all = warnings;
        all.insert(all.end(), doubts.begin(), doubts.end());
        return all;
    }
};

// The password the sample config holds until the operator sets one.
extern const char kPlaceholderPassword[];

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
