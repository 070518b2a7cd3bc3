// What the agent writes for an operator or a support engineer (its results
// on stdout, the transcript, the log, the array's call log) is part of the
// job: a write, flush or close that fails must end the job as failed, not
// pass as success with the output cut short. Each writer notes its first
// failure here; the agent stops the job at its next check and reports the
// first failure once. Thread-safe.
#pragma once

#include <string>

namespace OutputFailure {
// Records "<what>: <strerror(err)>" unless a failure was noted already.
void Note(const std::string& what, int err);
bool Any();
// The first failure, once: empty when there is none or it was taken.
std::string Take();
}  // namespace OutputFailure
