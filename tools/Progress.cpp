#include "tools/Progress.h"

#include "tools/ItemText.h"
#include "tools/StopSignals.h"

#include <sys/ioctl.h>
#include <unistd.h>
#include <cstdio>

namespace snapagent {
namespace {

struct StepWords {
    const char* operation;
    const char* doing;      // the status line while it runs
    const char* finishing;  // what a first Ctrl-C lets it finish
};

const StepWords kSteps[] = {
    {"Initialize", "connecting to the array", "the connection to the array"},
    {"VerifySnapScanSupport", "checking SnapDiff support", "the check of SnapDiff support"},
    {"ConfigureSnapshot", "taking the snapshots and applying retention",
     "the snapshots being taken and the retention (ConfigureSnapshot)"},
    {"UpdateContentMapperPaths", "mapping the shares to their snapshots", "the read paths"},
    {"DeleteAutoMountFailedSnapshots", "deleting the snapshots of failed mounts",
     "the deletion of the snapshots of failed mounts"},
    {"CompareSnapshots", "comparing a share's snapshots",
     "the comparison in progress (CompareSnapshots)"},
    {"CleanupSnapshotsPostBackup", "deleting the job's old snapshots",
     "the post-backup clean-up of old snapshots"},
};

const StepWords* WordsOf(const std::string& operation) {
    for (const StepWords& words : kSteps)
        if (operation == words.operation) return &words;
    return nullptr;
}

const std::chrono::milliseconds kRedrawEvery(100);

size_t TerminalWidth() {
    struct winsize size = {};
    return ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 20 ? size.ws_col : 80;
}

}  // namespace

Progress::Progress(Verbosity verbosity)
    : m_verbosity(verbosity),
      m_bTerminal(isatty(STDERR_FILENO) != 0),
      m_bItemsOnTerminal(isatty(STDOUT_FILENO) != 0) {
    StopSignals::SetFinishing(verbosity == Verbosity::kQuiet ? std::string()
                                                             : "the step in progress");
    LocalArrayOperator op;
    op.onActivity = [this](const LocalArrayActivity& activity) { OnArrayActivity(activity); };
    op.stopRequested = &StopSignals::Urgent;
    SetLocalArrayOperator(op);
}

Progress::~Progress() {
    SetLocalArrayOperator(LocalArrayOperator());
    ClearStatus();
}

void Progress::ClearStatus() const {
    if (!m_bStatusShown) return;
    fputs("\r\033[K", stderr);
    fflush(stderr);
    m_bStatusShown = false;
}

void Progress::Status(const std::string& text, bool force, bool plain) {
    if (m_verbosity == Verbosity::kQuiet) return;
    if (!m_bTerminal) {
        if (plain) fprintf(stderr, "snapagent: %s\n", text.c_str());
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    if (!force && m_bStatusShown && now - m_lastDraw < kRedrawEvery) return;
    m_lastDraw = now;
    // A wrapped line cannot be redrawn; the end, where the counter is, stays.
    const std::string prefix = "snapagent: ";
    const size_t room = TerminalWidth() - 1 - prefix.size();
    const std::string line =
        prefix + (text.size() <= room ? text : "..." + text.substr(text.size() - room + 3));
    fprintf(stderr, "\r\033[K%s", line.c_str());
    fflush(stderr);
    m_bStatusShown = true;
}

void Progress::Say(const std::string& line) const {
    if (m_verbosity == Verbosity::kQuiet) return;
    ClearStatus();
    fprintf(stderr, "snapagent: %s\n", line.c_str());
}

void Progress::Always(const std::string& line) const {
    ClearStatus();
    fprintf(stderr, "snapagent: %s\n", line.c_str());
}

void Progress::Detail(const std::string& line) const {
    if (m_verbosity != Verbosity::kVerbose) return;
    ClearStatus();
    fprintf(stderr, "snapagent:   %s\n", line.c_str());
}

void Progress::OnCalling(const std::string& operation) {
    const StepWords* words = WordsOf(operation);
    if (m_verbosity != Verbosity::kQuiet)
        StopSignals::SetFinishing(words ? words->finishing : "the plug-in call " + operation);
    Status(words ? words->doing : operation, true, true);
}

void Progress::OnStep(const std::string& operation, const CRyError& result) {
    // Pulls follow a comparison; a stop waits only for the item in hand.
    if (m_verbosity != Verbosity::kQuiet)
        StopSignals::SetFinishing(operation == "CompareSnapshots" ? "the item being delivered"
                                                                  : "the step that just ended");
    ClearStatus();
    // A failure that ends the job is reported once, by the command; one that
    // only sends a share to a full scan is reported with the share.
    Detail(operation +
           (result.IsError() ? " failed: " + PrintablePath(OneLine(result.AsString())) : ": ok"));
}

void Progress::OnItem(const std::string& share, const FileServerSnapshotCompareItem&) {
    if (share != m_strItemsShare) m_strItemsShare = share, m_nItems = 0;
    ++m_nItems;
    // Once a stop is asked the job ends at this item: no line to leave behind.
    if (!m_bItemsOnTerminal && !StopSignals::Requested())
        Status(PrintablePath(share) + ": " + Counted(m_nItems, "item", "items") + " delivered",
               false, false);
}

void Progress::OnArrayActivity(const LocalArrayActivity& activity) {
    static const char* const kDoing[] = {"copying", "deleting", "comparing with"};
    static const char* const kCounted[][2] = {{"file copied", "files copied"},
                                              {"file removed", "files removed"},
                                              {"change scanned", "changes scanned"}};
    const int work = static_cast<int>(activity.work);
    std::string text = std::string(kDoing[work]) + " snapshot " + activity.strSnapshot +
                       " of volume " + activity.strVolume;
    const bool starting = activity.ullDone == 0 && !activity.bFinished;
    if (!starting) {
        text += ": " + std::to_string(activity.ullDone);
        if (activity.ullExpected) text += " of about " + std::to_string(activity.ullExpected);
        text += std::string(" ") + kCounted[work][activity.ullDone == 1 ? 0 : 1];
    }
    // Plain lines only for the copies and deletions, which may take minutes.
    Status(text, activity.bFinished, starting && activity.work != LocalArrayWork::kComparing);
}

std::string Progress::OutcomeText(const ShareResult& share) {
    if (share.bDropped) return "not backed up (" + share.strFullScanReason + ")";
    if (share.bCompared) return "compared (" + Counted(share.nItems, "change", "changes") + ")";
    if (share.bReadLive) return "read live (" + share.strFullScanReason + ")";
    if (share.strFullScanReason == kFullJobReason) return "backed up in full";
    return "needs a full scan (" + share.strFullScanReason + ")";
}

void Progress::OnShareDone(const ShareResult& share) {
    Say(PrintablePath(share.strShare) + ": " + OutcomeText(share));
}

}  // namespace snapagent
