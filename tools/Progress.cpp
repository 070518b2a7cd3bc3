#include "tools/Progress.h"

#include "tools/ItemText.h"

#include <cstdio>

namespace snapagent {

void Progress::Say(const std::string& line) const {
    if (m_verbosity != Verbosity::kQuiet) fprintf(stderr, "snapagent: %s\n", line.c_str());
}

void Progress::Always(const std::string& line) const {
    fprintf(stderr, "snapagent: %s\n", line.c_str());
}

void Progress::Detail(const std::string& line) const {
    if (m_verbosity == Verbosity::kVerbose) fprintf(stderr, "snapagent:   %s\n", line.c_str());
}

void Progress::OnStep(const std::string& operation, const CRyError& result) {
    // A failure that ends the job is reported once, by the command; one that
    // only sends a share to a full scan is reported with the share.
    Detail(operation +
           (result.IsError() ? " failed: " + PrintablePath(OneLine(result.AsString())) : ": ok"));
}

std::string Progress::OutcomeText(const ShareResult& share) {
    if (share.bDropped) return "not backed up (" + share.strFullScanReason + ")";
    if (share.bCompared) return "compared (" + Counted(share.nItems, "change", "changes") + ")";
    if (share.strFullScanReason == kFullJobReason) return "backed up in full";
    return "needs a full scan (" + share.strFullScanReason + ")";
}

void Progress::OnShareDone(const ShareResult& share) {
    Say(PrintablePath(share.strShare) + ": " + OutcomeText(share));
}

}  // namespace snapagent
