#include "tools/ClientSnapshots.h"

#include "tools/CommandLine.h"
#include "tools/ItemText.h"

#include <algorithm>
#include <tuple>

namespace snapagent {
namespace {

// Splits a name of the client's prefix into application and job; a name the
// plug-in would not have made (leading zeros, other text) stays unsplit.
JobSnapshot Classify(const SnapShotInfo_t& info, const std::string& prefix) {
    JobSnapshot snapshot;
    snapshot.info = info;
    const std::string rest = info.strName.substr(prefix.size());
    const size_t sep = rest.find('_');
    uint64_t app = 0, job = 0;
    if (sep != std::string::npos && ParseNumber(rest.substr(0, sep), UINT32_MAX, app) &&
        ParseNumber(rest.substr(sep + 1), INT64_MAX, job) &&
        rest == std::to_string(app) + "_" + std::to_string(job)) {
        snapshot.bOfJob = true;
        snapshot.ulApp = static_cast<ULONG>(app);
        snapshot.ullJob = job;
    }
    return snapshot;
}

}  // namespace

std::string ClientPrefix(ULONG client) { return "VKOP_" + std::to_string(client) + "_"; }

bool ListClientSnapshots(ArrayBackend& array, const std::set<std::string>& volumes, ULONG client,
                         std::vector<VolumeListing>& listings) {
    const std::string prefix = ClientPrefix(client);
    bool complete = true;
    for (const std::string& name : volumes) {
        VolumeListing volume;
        volume.strVolume = name;
        std::vector<SnapShotInfo_t> found;
        const ArrayStatus listed = array.ListSnapshots(name, prefix, found);
        if (!listed.bOk) volume.strError = listed.strMessage;
        complete = complete && listed.bOk;
        for (const SnapShotInfo_t& snapshot : found)
            volume.snapshots.push_back(Classify(snapshot, prefix));
        std::sort(volume.snapshots.begin(), volume.snapshots.end(),
                  [](const JobSnapshot& a, const JobSnapshot& b) {
                      return std::make_tuple(!a.bOfJob, a.ulApp, a.ullJob, a.info.strName) <
                             std::make_tuple(!b.bOfJob, b.ulApp, b.ullJob, b.info.strName);
                  });
        listings.push_back(volume);
    }
    return complete;
}

std::map<ULONG, uint64_t> MarkBases(std::vector<VolumeListing>& listings,
                                    const std::vector<JobRecord>& history) {
    std::map<ULONG, uint64_t> base;
    std::map<ULONG, const JobRecord*> recorded;
    std::set<ULONG> inHistory;
    for (const JobRecord& record : history) {
        inHistory.insert(record.ulAppId2);
        if (record.Ended()) recorded[record.ulAppId2] = &record;  // oldest first
    }
    for (const VolumeListing& volume : listings)
        for (const JobSnapshot& s : volume.snapshots)
            if (s.bOfJob && !inHistory.count(s.ulApp))
                base[s.ulApp] = std::max(base[s.ulApp], s.ullJob);
    for (const auto& app : recorded) base[app.first] = app.second->llJobId;
    for (VolumeListing& volume : listings)
        for (JobSnapshot& s : volume.snapshots) {
            if (!s.bOfJob || !base.count(s.ulApp)) continue;
            s.bSharesKnown = inHistory.count(s.ulApp) > 0;
            const auto job = std::find_if(history.begin(), history.end(), [&](const JobRecord& r) {
                return r.ulAppId2 == s.ulApp && static_cast<uint64_t>(r.llJobId) == s.ullJob;
            });
            if (job != history.end() && !job->Ended())
                s.strNotBase = job->WhyNotBackedUp(std::string());
            if (base[s.ulApp] != s.ullJob) continue;
            if (job != history.end())
                for (const ShareRecord& share : job->shares)
                    if (share.strVolume == volume.strVolume &&
                        job->WhyNotBackedUp(share.strShare).empty())
                        s.baseFor.push_back(share.strShare);
            s.bBase = !s.bSharesKnown || !s.baseFor.empty();
            if (!s.bBase)
                s.strNotBase = "job " + std::to_string(s.ullJob) +
                               " backed up no share of this volume completely";
        }
    return base;
}

// "/mnt/a, /mnt/b".
std::string ShareList(const std::vector<std::string>& shares) {
    std::string text;
    for (const std::string& share : shares)
        text += (text.empty() ? "" : ", ") + PrintablePath(share);
    return text;
}

}  // namespace snapagent
