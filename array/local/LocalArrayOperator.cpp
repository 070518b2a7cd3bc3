#include "array/local/LocalArrayOperator.h"

using hostlib::Status;

namespace {

LocalArrayOperator& TheOperator() {
    static LocalArrayOperator op;
    return op;
}

// Reports at most every this many files: a report is a call into the
// operator's display, cheap but not free beside a hard link.
const uint64_t kReportEvery = 64;

}  // namespace

void SetLocalArrayOperator(const LocalArrayOperator& op) { TheOperator() = op; }

const LocalArrayOperator& CurrentLocalArrayOperator() { return TheOperator(); }

bool LocalArrayStopRequested() {
    const LocalArrayOperator& op = TheOperator();
    return op.stopRequested && op.stopRequested();
}

ActivityMeter::ActivityMeter(LocalArrayWork work, const std::string& volume,
                             const std::string& snapshot, uint64_t expected) {
    m_activity.work = work;
    m_activity.strVolume = volume;
    m_activity.strSnapshot = snapshot;
    m_activity.ullExpected = expected;
    if (TheOperator().onActivity) TheOperator().onActivity(m_activity);
}

ActivityMeter::~ActivityMeter() {
    m_activity.bFinished = true;
    if (TheOperator().onActivity) TheOperator().onActivity(m_activity);
}

Status ActivityMeter::Tick(uint64_t done) {
    m_activity.ullDone += done;
    if (m_activity.ullDone - m_ullReported >= kReportEvery && TheOperator().onActivity) {
        m_ullReported = m_activity.ullDone;
        TheOperator().onActivity(m_activity);
    }
    if (!LocalArrayStopRequested()) return Status::OK();
    m_activity.bStopped = true;
    static const char* const kWhat[] = {"the copy of", "the deletion of", "the comparison with"};
    return Status::Aborted(std::string("stopped at the operator's request during ") +
                           kWhat[static_cast<int>(m_activity.work)] + " snapshot " +
                           m_activity.strSnapshot + " of volume " + m_activity.strVolume);
}
