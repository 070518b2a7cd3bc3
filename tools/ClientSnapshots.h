// The snapshots a client's jobs left on the array, per volume, and which of
// them the next incremental job of each application compares from, for
// which shares. `snapagent snapshots` lists them and deletes the ones an
// operator retires.
#pragma once

#include "array/ArrayBackend.h"
#include "tools/JobHistory.h"

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace snapagent {

struct JobSnapshot {
    SnapShotInfo_t info;
    bool bOfJob = false;  // named as the plug-in names a job's snapshot
    ULONG ulApp = 0;
    uint64_t ullJob = 0;
    bool bBase = false;  // the next incremental job compares from it
    // The shares it is the base of, by the job history; unknown when the
    // history holds no job of its application.
    bool bSharesKnown = false;
    std::vector<std::string> baseFor;
    std::string strNotBase;  // why a snapshot of a job in the history is no base
};

struct VolumeListing {
    std::string strVolume;
    std::vector<JobSnapshot> snapshots;  // the client's jobs' first, by application and job
    std::string strError;                // the listing failed
};

// "VKOP_<client>_": the plug-in names every snapshot of a client's jobs
// <prefix><app2>_<job>.
std::string ClientPrefix(ULONG client);

// The client's snapshots on each volume; false when some volume could not
// be listed (its listing holds the array's reason).
bool ListClientSnapshots(ArrayBackend& array, const std::set<std::string>& volumes, ULONG client,
                         std::vector<VolumeListing>& listings);

// The base of the next job of each application: by the job history, its
// latest job that ran to its end (what a job without --prev compares from);
// with no job of the application in the history, the newest job whose
// snapshot is listed, as an operator would give it as --prev. A snapshot of
// the base job is the base of the shares on its volume that the job backed
// up completely; a failed, stopped or unfinished job's is no base. Marks
// those; returns the base job per application.
std::map<ULONG, uint64_t> MarkBases(std::vector<VolumeListing>& listings,
                                    const std::vector<JobRecord>& history);

// "/mnt/a, /mnt/b".
std::string ShareList(const std::vector<std::string>& shares);

}  // namespace snapagent
