// The state folder: where snapagent keeps each client's job lock, the
// plug-in's default log and the job results folders. They name every
// backed-up file and decide which snapshots a job deletes, so the agent
// trusts no folder another local user could swap or fill: as ssh refuses a
// key folder, it refuses a state folder (or a folder in it) that is not the
// running user's own or that others may write, and every folder above it
// must belong to that user or to root and be writable by others only with
// the sticky bit (as /tmp is).
#pragma once

#include "hostlib/Status.h"
#include "records/SnapRecords.h"

#include <string>

namespace snapagent {

// The folder root uses when it has no home (a service without User=):
// the package makes it, 0700.
extern const char kRootStateDir[];

// $SNAPAGENT_STATE_DIR, else $XDG_STATE_HOME/snapagent, else
// $HOME/.local/state/snapagent, else (root only) kRootStateDir. Not found,
// with a one-line message naming SNAPAGENT_STATE_DIR, when none applies.
hostlib::Status DefaultStateDir(std::string& dir);

// <state>/client<N>/job<J>.
std::string DefaultResultsDir(const std::string& stateDir, ULONG clientId, LONGLONG jobId);

// Removes the default results folders of the client's jobs below jobId
// (<state>/client<N>/job<J>), all but the keep latest of them.
void RemoveEarlierResults(const std::string& stateDir, ULONG clientId, LONGLONG jobId,
                          unsigned keep);

// "user alice (uid 1001)", or "(uid 1001)" for a uid without a name.
std::string DescribeUser(unsigned uid);

// Makes the folder (0700, with its missing parents) where it does not exist
// and checks it as described above; an unsafe folder is an invalid
// argument, with a one-line message that says what to change.
hostlib::Status MakePrivateFolder(const std::string& path);

}  // namespace snapagent
