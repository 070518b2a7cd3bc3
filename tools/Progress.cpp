#include "tools/Progress.h"

#include "tools/ItemText.h"
#include "tools/StopSignals.h"
#include "tools/TreeListing.h"

#include <sys/ioctl.h>
#include <unistd.h>
#include <cstdio>

namespace snapagent {
namespace {

struct StepWords {
    const char* operation;
    const char* doing;      // the status line while it runs
    const char* finishing;  // what a first Ctrl-C lets it finish
    const char* after;      // where the job is once it returned
};

const StepWords kSteps[] = {
    {"Initialize", "connecting to the array", "the connection to the array",
     "after connecting to the array"},
    {"VerifySnapScanSupport", "checking SnapDiff support", "the check of SnapDiff support",
     "after the check of SnapDiff support"},
    {"ConfigureSnapshot", "taking the snapshots and applying retention",
     "the snapshots being taken and the retention (ConfigureSnapshot)",
     "after taking the snapshots"},
    {"UpdateContentMapperPaths", "mapping the shares to their snapshots", "the read paths",
     "after mapping the shares to their snapshots"},
    {"DeleteAutoMountFailedSnapshots", "deleting the snapshots of failed mounts",
     "the deletion of the snapshots of failed mounts",
     "after deleting the snapshots of failed mounts"},
    {"CompareSnapshots", "comparing the snapshots of ",
     "the comparison in progress (CompareSnapshots)", "after comparing the snapshots of "},
    {"CleanupSnapshotsPostBackup", "deleting the job's old snapshots",
     "the post-backup clean-up of old snapshots", "in the post-backup clean-up"},
};

const StepWords* WordsOf(const std::string& operation) {
    for (const StepWords& words : kSteps)
        if (operation == words.operation) return &words;
    return nullptr;
}

const std::chrono::milliseconds kRedrawEvery(100);
const uint64_t kFirstMilestone = 1000;

// 1000, 2000, 5000, 10000, 20000, ...
uint64_t NextMilestone(uint64_t milestone) {
    uint64_t scale = 1;
    while (milestone / scale >= 10) scale *= 10;
    return milestone / scale == 2 ? milestone / 2 * 5 : milestone * 2;
}

// A name the array gives its own unfinished work, never a snapshot's.
bool IsLeftover(const std::string& snapshot) { return !snapshot.empty() && snapshot[0] == '.'; }

double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// "0.4 s", "12 s", "3 min 20 s", "2 h 5 min".
std::string DurationText(double seconds) {
    char text[32];
    const long whole = static_cast<long>(seconds);
    if (seconds < 10)
        snprintf(text, sizeof text, "%.1f s", seconds);
    else if (whole < 60)
        snprintf(text, sizeof text, "%ld s", whole);
    else if (whole < 3600)
        snprintf(text, sizeof text, "%ld min %ld s", whole / 60, whole % 60);
    else
        snprintf(text, sizeof text, "%ld h %ld min", whole / 3600, whole / 60 % 60);
    return text;
}

// "512 bytes", "3.1 KiB", "12.0 GiB".
std::string BytesText(uint64_t bytes) {
    static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB", "PiB"};
    if (bytes < 1024) return Counted(bytes, "byte", "bytes");
    double value = static_cast<double>(bytes) / 1024;
    size_t unit = 0;
    while (value >= 1024 && unit + 1 < sizeof kUnits / sizeof kUnits[0]) value /= 1024, ++unit;
    char text[32];
    snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
    return text;
}

size_t TerminalWidth() {
    struct winsize size = {};
    return ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 20 ? size.ws_col : 80;
}

}  // namespace

Progress::Progress(Verbosity verbosity)
    : m_verbosity(verbosity),
      m_bTerminal(isatty(STDERR_FILENO) != 0),
      m_bItemsOnTerminal(isatty(STDOUT_FILENO) != 0),
      m_start(std::chrono::steady_clock::now()),
      m_counterStart(m_start) {
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

std::string Progress::StoppedAt() const {
    if (!m_strStoppedAt.empty()) return m_strStoppedAt;
    if (m_strPlace.empty() && m_nItems)
        return "while delivering the changes of " + PrintablePath(m_strItemsShare) + " (" +
               Counted(m_nItems, "item", "items") + " delivered)";
    return m_strPlace;
}

void Progress::OnShareStart(const std::string& share) { m_strShare = share; }

void Progress::OnCalling(const std::string& operation) {
    const StepWords* words = WordsOf(operation);
    if (m_verbosity != Verbosity::kQuiet)
        StopSignals::SetFinishing(words ? words->finishing : "the plug-in call " + operation);
    const std::string share = operation == "CompareSnapshots" ? PrintablePath(m_strShare) : "";
    m_strPlace = "while " + (words ? words->doing + share : "calling " + operation);
    m_nItems = 0;
    Status(words ? words->doing + share : operation, true, true);
}

void Progress::OnStep(const std::string& operation, const CRyError& result) {
    // Pulls follow a comparison; a stop waits only for the item in hand.
    if (m_verbosity != Verbosity::kQuiet)
        StopSignals::SetFinishing(operation == "CompareSnapshots" ? "the item being delivered"
                                                                  : "the step that just ended");
    const StepWords* words = WordsOf(operation);
    const std::string share = operation == "CompareSnapshots" ? PrintablePath(m_strShare) : "";
    m_strPlace = words ? words->after + share : "after " + operation;
    ClearStatus();
    // A failure that ends the job is reported once, by the command; one that
    // only sends a share to a full scan is reported with the share.
    Detail(operation +
           (result.IsError() ? " failed: " + PrintablePath(OneLine(result.AsString())) : ": ok"));
}

void Progress::OnItem(const std::string& share, const FileServerSnapshotCompareItem&) {
    if (share != m_strItemsShare) m_strItemsShare = share, m_nItems = 0;
    ++m_ullItemsTotal;
    if (++m_nItems == 1) {
        m_ullMilestone = kFirstMilestone;
        m_counterStart = std::chrono::steady_clock::now();
    }
    m_strPlace.clear();
    // Once a stop is asked the job ends at this item: no line to leave behind.
    if (!m_bItemsOnTerminal && !StopSignals::Requested())
        Count(PrintablePath(share) + ": " + Counted(m_nItems, "item", "items") + " delivered",
              m_nItems, false);
}

void Progress::Count(const std::string& counted, uint64_t done, bool force) {
    // The rate tells an operator whether the step will take minutes or hours.
    const double seconds = SecondsSince(m_counterStart);
    const std::string text =
        counted + (seconds >= 1 ? " (" + std::to_string(static_cast<uint64_t>(done / seconds)) +
                                      "/s, " + DurationText(seconds) + ")"
                                : "");
    Status(text, force, false);
    if (m_bTerminal || done < m_ullMilestone) return;
    while (m_ullMilestone <= done) m_ullMilestone = NextMilestone(m_ullMilestone);
    Status(text, true, true);
}

std::string Progress::Totals() const {
    const bool bytes = !m_bBytesUnknown && m_ullItemsTotal > 0;
    return Counted(m_ullItemsTotal, "item", "items") + " delivered" +
           (bytes ? " (" + BytesText(m_ullBytes) + " of files)" : "") + " in " +
           DurationText(SecondsSince(m_start));
}

void Progress::OnArrayActivity(const LocalArrayActivity& activity) {
    static const char* const kDoing[] = {"copying", "deleting", "comparing with", "taking"};
    static const char* const kInside[] = {"the snapshot copy", "the deletion of snapshot ",
                                          "the SnapDiff run of snapshot ", "the btrfs snapshot "};
    static const char* const kCounted[][2] = {{"file copied", "files copied"},
                                              {"file removed", "files removed"},
                                              {"change scanned", "changes scanned"},
                                              {"", ""}};
    const int work = static_cast<int>(activity.work);
    const std::string volume = PrintablePath(activity.strVolume);
    const std::string snapshot = PrintablePath(activity.strSnapshot);
    const bool starting = activity.ullDone == 0 && !activity.bFinished;
    // The array clears what a stopped creation or deletion left under a
    // name of its own: that is no snapshot of anyone's.
    const bool leftover = IsLeftover(activity.strSnapshot);
    std::string text =
        leftover ? "clearing the leftovers of a stopped snapshot " +
                       std::string(activity.strSnapshot == ".creating" ? "creation" : "deletion") +
                       " on volume " + volume
                 : std::string(kDoing[work]) + " snapshot " + snapshot + " of volume " + volume;
    if (starting) {
        m_ullMilestone = kFirstMilestone;
        m_counterStart = std::chrono::steady_clock::now();
        m_strInside = "inside " +
                      (leftover ? "the clearing of leftovers on volume " + volume
                                : std::string(kInside[work]) +
                                      (activity.work == LocalArrayWork::kCopying ? "" : snapshot) +
                                      " of volume " + volume);
        m_ullCounted = 0;
        if (activity.work == LocalArrayWork::kCopying && !activity.ullExpected &&
            !m_strArrayRoot.empty() && m_verbosity != Verbosity::kQuiet)
            m_ullCounted =
                CountEntries(m_strArrayRoot + "/" + activity.strVolume, &StopSignals::Urgent);
    }
    if (activity.bFinished && activity.ullLeftOut) {
        m_ullLeftOut += activity.ullLeftOut;
        const bool one = activity.ullLeftOut == 1;
        Always("snapshot " + snapshot + " of volume " + volume + " left out " +
               Counted(activity.ullLeftOut, "item", "items") + " it cannot keep, with all " +
               (one ? "it holds: no backup holds it" : "they hold: no backup holds them") +
               ", and the volume's shares need a full scan until " + (one ? "it is" : "they are") +
               " moved (the plug-in's log names " + (one ? "it)" : "them)"));
    }
    if (activity.bFinished && StopSignals::Urgent() && m_strStoppedAt.empty())
        m_strStoppedAt = m_strInside;
    // A btrfs snapshot is one call: its start line is all there is to say.
    if (!starting && activity.work == LocalArrayWork::kSnapshotting) return;
    if (!starting) {
        const uint64_t total = activity.ullExpected ? activity.ullExpected : m_ullCounted;
        text += ": " + std::to_string(activity.ullDone);
        // The previous snapshot's size is a guess that a grown volume outruns.
        if (total && total >= activity.ullDone) text += " of about " + std::to_string(total);
        text += std::string(" ") + kCounted[work][activity.ullDone == 1 ? 0 : 1];
    }
    // A plain start line only for the copies and deletions, which may take
    // minutes; every counter gets its milestones.
    if (starting)
        Status(text, false, activity.work != LocalArrayWork::kComparing);
    else
        Count(text, activity.ullDone, activity.bFinished);
}

std::string Progress::OutcomeText(const ShareResult& share) {
    if (share.bDropped) return "not backed up (" + share.strFullScanReason + ")";
    if (share.bCompared) return "compared (" + Counted(share.nItems, "change", "changes") + ")";
    if (share.bReadLive) return "read live (" + share.strFullScanReason + ")";
    if (share.bFull)
        return "backed up in full" +
               (share.nItems ? " (" + Counted(share.nItems, "item", "items") + ")" : "") +
               (share.strFullScanReason == kFullJobReason ? std::string()
                                                          : ": " + share.strFullScanReason);
    return "needs a full scan (" + share.strFullScanReason + ")";
}

void Progress::Tally(const ShareResult& share) {
    if (share.bDropped) return;
    m_ullBytes += share.ullBytes;
    m_bBytesUnknown = m_bBytesUnknown || !share.bBytesKnown;
}

void Progress::OnShareDone(const ShareResult& share) {
    Tally(share);
    Say(PrintablePath(share.strShare) + ": " + OutcomeText(share));
}

}  // namespace snapagent
