#include "tools/Progress.h"

#include "tools/ItemText.h"

#include <cstdio>

namespace snapagent {

void Progress::Say(const std::string& line) const {
    if (m_verbosity != Verbosity::kQuiet) fprintf(stderr, "snapagent: %s\n", line.c_str());
}

void Progress::Detail(const std::string& line) const {
    if (m_verbosity == Verbosity::kVerbose) fprintf(stderr, "snapagent:   %s\n", line.c_str());
}

void Progress::OnStep(const std::string& operation, const CRyError& result) {
    // A failure that ends the job is reported once, by the command; one that
    // only sends a share to a full scan is reported with the share.
    Detail(operation + (result.IsError() ? " failed: " + OneLine(result.AsString()) : ": ok"));
}

void Progress::OnShareDone(const ShareResult& share) {
    const std::string name = PrintablePath(share.strShare);
    if (share.bCompared)
        Say(name + ": " + std::to_string(share.nItems) + " changes");
    else if (share.strFullScanReason == kFullJobReason)
        Say(name + ": backed up in full");
    else
        Say(name + ": needs a full scan (" + share.strFullScanReason + ")");
}

}  // namespace snapagent
