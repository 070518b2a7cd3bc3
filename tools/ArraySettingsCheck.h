// Checks the array settings of the config before a job starts, so that a
// mistake in them (an array script that is not a valid document, a
// malformed [faults] entry) ends the job with one line naming the mistake,
// instead of the plug-in's "Unable to connect to array" after it failed to
// reach an array that was never built.
#pragma once

#include <string>

namespace snapagent {

// False with error set (one line) when the config's array settings cannot
// be used. Reads the config that SNAPCLIENT_CONFIG names.
bool CheckArraySettings(std::string& error);

}  // namespace snapagent
