#include "tools/JobHistory.h"

#include "tools/CommandLine.h"
#include "tools/FileOps.h"
#include "tools/ItemJson.h"
#include "tools/ItemText.h"
#include "tools/StateFolder.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>

using hostlib::Status;

namespace snapagent {
namespace {

using Json = nlohmann::ordered_json;

std::string JobText(LONGLONG jobId) {
    return std::to_string(static_cast<unsigned long long>(jobId));
}

std::string RecordPath(const std::string& stateDir, ULONG clientId, LONGLONG jobId) {
    return HistoryFolder(stateDir, clientId) + "/job" + JobText(jobId) + ".json";
}

Json ToJson(const JobRecord& record) {
    Json line;
    line["client"] = record.ulClientId;
    line["app1"] = record.ulAppId1;
    line["app2"] = record.ulAppId2;
    line["job"] = record.llJobId;
    line["prev"] = record.llPrevJobId;
    line["state"] = record.strState;
    line["started"] = record.llStarted;
    line["ended"] = record.llEnded ? Json(record.llEnded) : Json(nullptr);
    line["error"] = record.strError.empty() ? Json(nullptr) : Json(record.strError);
    Json shares = Json::array();
    for (const ShareRecord& share : record.shares) {
        Json s;
        // The share's exact bytes are in share_hex; share is for reading.
        s["share"] = PathJson(share.strShare);
        s["share_hex"] = HexOfBytes(share.strShare, false);
        s["volume"] = share.strVolume.empty() ? Json(nullptr) : Json(share.strVolume);
        s["outcome"] = share.strOutcome;
        s["items"] = share.ullItems;
        s["received"] = share.bReceived;
        s["reason"] = share.strReason.empty() ? Json(nullptr) : Json(share.strReason);
        shares.push_back(s);
    }
    line["shares"] = shares;
    return line;
}

// Throws (nlohmann's exceptions) on a record of another shape; the caller
// turns that into an unreadable record.
JobRecord FromJson(const Json& line) {
    JobRecord record;
    record.ulClientId = line.at("client").get<ULONG>();
    record.ulAppId1 = line.at("app1").get<ULONG>();
    record.ulAppId2 = line.at("app2").get<ULONG>();
    record.llJobId = line.at("job").get<LONGLONG>();
    record.llPrevJobId = line.at("prev").get<LONGLONG>();
    record.strState = line.at("state").get<std::string>();
    record.llStarted = line.at("started").get<int64_t>();
    record.llEnded = line.at("ended").is_null() ? 0 : line.at("ended").get<int64_t>();
    record.strError = line.at("error").is_null() ? "" : line.at("error").get<std::string>();
    for (const Json& s : line.at("shares")) {
        ShareRecord share;
        if (!BytesOfHex(s.at("share_hex").get<std::string>(), share.strShare))
            throw std::invalid_argument("share_hex is not hex");
        share.strVolume = s.at("volume").is_null() ? "" : s.at("volume").get<std::string>();
        share.strOutcome = s.at("outcome").get<std::string>();
        share.ullItems = s.at("items").get<uint64_t>();
        share.bReceived = s.at("received").get<bool>();
        share.strReason = s.at("reason").is_null() ? "" : s.at("reason").get<std::string>();
        record.shares.push_back(share);
    }
    return record;
}

// Makes the bytes durable before the rename makes them the record: a
// crash then leaves the old record or the new one, never a torn file.
Status SyncedWrite(const std::string& path, const std::string& bytes) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    bool ok = fd >= 0;
    for (size_t done = 0; ok && done < bytes.size();) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) done += static_cast<size_t>(n);
    }
    ok = ok && fsync(fd) == 0;
    Status written =
        ok ? Status::OK() : ErrnoFailure("cannot write the job history", PrintablePath(path));
    if (fd >= 0 && close(fd) != 0 && ok)
        written = ErrnoFailure("cannot write the job history", PrintablePath(path));
    return written;
}

}  // namespace

std::string HistoryFolder(const std::string& stateDir, ULONG clientId) {
    return stateDir + "/client" + std::to_string(clientId) + "/history";
}

std::string JobRecord::WhyNotBackedUp(const std::string& share) const {
    const std::string job = "job " + JobText(llJobId);
    if (strState == "running") return job + " did not end";
    if (strState == "failed") return job + " failed";
    if (strState == "stopped") return job + " was stopped";
    const auto found = std::find_if(shares.begin(), shares.end(),
                                    [&](const ShareRecord& s) { return s.strShare == share; });
    if (found == shares.end() || found->strOutcome == "not_backed_up" ||
        found->strOutcome == "stopped")
        return job + " did not back up this share";
    if (found->strOutcome == "needs_full_scan") return job + " needed a full scan of this share";
    if (found->strOutcome == "read_live") return job + " read this share live, not a snapshot";
    if (found->strOutcome != "full" && found->strOutcome != "compared")
        return job + " did not back up this share";
    if (!found->bReceived) return "not every result of " + job + " reached the agent";
    return std::string();
}

Status WriteJobRecord(const std::string& stateDir, const JobRecord& record) {
    const std::string folder = HistoryFolder(stateDir, record.ulClientId);
    if (Status made = MakePrivateFolder(folder); !made.ok()) return made;
    const std::string path = RecordPath(stateDir, record.ulClientId, record.llJobId);
    const std::string temporary = path + ".tmp";
    const Status written = SyncedWrite(
        temporary, ToJson(record).dump(2, ' ', false, Json::error_handler_t::replace) + "\n");
    if (!written.ok()) {
        unlink(temporary.c_str());
        return written;
    }
    if (Status renamed = RenamePath(temporary, path); !renamed.ok()) return renamed;
    // The rename itself is durable once the folder is synced.
    const int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const Status synced = dir >= 0 && fsync(dir) == 0
                              ? Status::OK()
                              : ErrnoFailure("cannot sync the job history", PrintablePath(folder));
    if (dir >= 0) close(dir);
    return synced;
}

Status ReadJobRecord(const std::string& stateDir, ULONG clientId, LONGLONG jobId,
                     JobRecord& record) {
    const std::string path = RecordPath(stateDir, clientId, jobId);
    std::ifstream in(path, std::ios::binary);
    if (!in) return ErrnoFailure("cannot read the job history", PrintablePath(path));
    std::ostringstream text;
    text << in.rdbuf();
    try {
        record = FromJson(Json::parse(text.str()));
    } catch (const std::exception& e) {
        return Status::Corruption("the job history [" + PrintablePath(path) +
                                  "] is not a job record: " + e.what());
    }
    if (record.ulClientId != clientId || record.llJobId != jobId)
        return Status::Corruption("the job history [" + PrintablePath(path) +
                                  "] holds another job's record");
    return Status::OK();
}

Status ReadJobRecords(const std::string& stateDir, ULONG clientId,
                      std::vector<JobRecord>& records) {
    records.clear();
    Status leftOut;
    DIR* dir = opendir(HistoryFolder(stateDir, clientId).c_str());
    while (const struct dirent* entry = dir ? readdir(dir) : nullptr) {
        const std::string name = entry->d_name;
        const size_t dot = name.rfind(".json");
        uint64_t id = 0;
        if (name.compare(0, 3, "job") != 0 || dot == std::string::npos || dot + 5 != name.size() ||
            !ParseNumber(name.substr(3, dot - 3), INT64_MAX, id) ||
            name != "job" + std::to_string(id) + ".json")
            continue;
        JobRecord record;
        const Status read = ReadJobRecord(stateDir, clientId, static_cast<LONGLONG>(id), record);
        if (read.ok())
            records.push_back(record);
        else if (!read.IsNotFound())  // gone since the folder was listed
            leftOut = leftOut.ok() ? read
                                   : leftOut.WithMessage(leftOut.message() + "; " + read.message());
    }
    if (dir) closedir(dir);
    std::sort(records.begin(), records.end(),
              [](const JobRecord& a, const JobRecord& b) { return a.llJobId < b.llJobId; });
    return leftOut;
}

const JobRecord* LatestEndedJob(const std::vector<JobRecord>& records, ULONG appId1, ULONG appId2,
                                LONGLONG belowJobId) {
    const JobRecord* latest = nullptr;
    for (const JobRecord& record : records)
        if (record.Ended() && record.ulAppId1 == appId1 && record.ulAppId2 == appId2 &&
            record.llJobId < belowJobId)
            latest = &record;
    return latest;
}

std::string JobRecordJson(const JobRecord& record) {
    return ToJson(record).dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace snapagent
