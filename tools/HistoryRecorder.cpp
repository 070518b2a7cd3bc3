#include "tools/HistoryRecorder.h"

#include "hostlib/OutputFailure.h"
#include "tools/ItemJson.h"
#include "tools/ItemText.h"

#include <ctime>

namespace snapagent {
namespace {

std::string RecordedOutcome(const ShareResult& share, bool stopped) {
    if (share.bDropped) return stopped ? "stopped" : "not_backed_up";
    if (share.bReadLive) return "read_live";
    return OutcomeName(share);
}

}  // namespace

HistoryRecorder::HistoryRecorder(const std::string& stateDir, const JobSpec& plan,
                                 std::function<std::string(const std::string&)> volumeOf)
    : m_strStateDir(stateDir), m_volumeOf(std::move(volumeOf)) {
    m_record.ulClientId = plan.ulClientId;
    m_record.ulAppId1 = plan.ulAppId1;
    m_record.ulAppId2 = plan.ulAppId2;
    m_record.llJobId = plan.llJobId;
    m_record.llPrevJobId = plan.llPrevJobId;
    for (const std::string& given : plan.shares) {
        ShareRecord share;
        share.strShare = BareShare(given);
        share.strOutcome = "stopped";
        share.strReason = "the job did not end";
        m_record.shares.push_back(share);
    }
}

hostlib::Status HistoryRecorder::Start() {
    m_record.llStarted = static_cast<int64_t>(time(nullptr));
    return WriteJobRecord(m_strStateDir, m_record);
}

void HistoryRecorder::OnShareDone(const ShareResult& share) {
    // Items are flushed one by one, and the outcome before this: no failure
    // noted by now means the reader got all of this share.
    m_received.push_back(!OutputFailure::Any());
}

hostlib::Status HistoryRecorder::Finish(const JobResult& result, const std::string& state,
                                        const std::string& why) {
    m_record.strState = state;
    m_record.strError = PrintablePath(why);
    m_record.llEnded = static_cast<int64_t>(time(nullptr));
    m_record.shares.clear();
    for (size_t i = 0; i < result.shares.size(); ++i) {
        const ShareResult& done = result.shares[i];
        ShareRecord share;
        share.strShare = BareShare(done.strShare);
        share.strVolume = PrintablePath(m_volumeOf(done.strShare));
        share.strOutcome = RecordedOutcome(done, state == "stopped");
        share.ullItems = done.nItems;
        share.bReceived = i < m_received.size() && m_received[i];
        const bool asAsked =
            share.strOutcome == "compared" ||
            (share.strOutcome == "full" && done.strFullScanReason == kFullJobReason);
        if (!asAsked) share.strReason = PrintablePath(done.strFullScanReason);
        m_record.shares.push_back(share);
    }
    return WriteJobRecord(m_strStateDir, m_record);
}

}  // namespace snapagent
