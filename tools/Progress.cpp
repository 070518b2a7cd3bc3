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
    if (result.IsError())
        Say(operation + " failed: " + OneLine(result.AsString()));
    else
        Detail(operation + ": ok");
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
