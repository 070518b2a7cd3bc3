// Progress of the harness on stderr, so that stdout carries only results
// (change lists, JSON lines). Quiet prints nothing; normal prints each step
// of the job, the long operations of the local array and each share's
// outcome; verbose also every plug-in call. (The job command prints outcome
// lines at every verbosity: an operator must never miss a share that was
// not backed up.)
//
// On a terminal, the step in progress is one status line redrawn in place,
// with a counter for the long steps: files copied for a local-array
// snapshot (of a total: the previous snapshot's files, or for a first one
// a count of the volume's entries), files removed for a deletion, changes
// scanned for a comparison, items delivered for a share (the last only when
// stdout, where the items go, is not the same terminal). Elsewhere each
// step is one plain line, and a counter gets a plain line at 1000, 2000,
// 5000, 10000, ... so that a log of a scheduled job shows it moving.
//
// It also knows where the job is, for the notice of a stopped job: "after
// taking the snapshots", "while delivering the changes of /mnt/a", "inside
// the snapshot copy of volume big" (where an urgent stop cut an array
// operation short).
//
// While it lives, a Progress is the local array's operator: it shows the
// array's long operations and asks them to stop on an urgent stop request
// (StopSignals.h); it also tells StopSignals what a first Ctrl-C would let
// finish.
#pragma once

#include "array/local/LocalArrayOperator.h"
#include "tools/CommandLine.h"
#include "tools/JobRunner.h"

#include <chrono>
#include <string>

namespace snapagent {

class Progress : public JobObserver {
public:
    explicit Progress(Verbosity verbosity);
    ~Progress() override;
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    void Say(const std::string& line) const;     // normal and verbose
    void Detail(const std::string& line) const;  // verbose only
    void Always(const std::string& line) const;  // every verbosity

    // "compared (2 changes)", "backed up in full", "read live (...)",
    // "needs a full scan (...)", "not backed up (...)".
    static std::string OutcomeText(const ShareResult& share);

    // The local array's root, for the total of a first snapshot's copy.
    void SetArrayRoot(const std::string& root) { m_strArrayRoot = root; }
    // Where the job was when it stopped, e.g. "after taking the snapshots".
    std::string StoppedAt() const;
    // Items the job's snapshots could not keep: no backup holds them.
    uint64_t LeftOut() const { return m_ullLeftOut; }
    // What the job's last line adds to its outcome, at every verbosity so
    // that a scheduled job's journal holds it: "12 items delivered in 3.4 s",
    // with the bytes of the files among them when every share backed up
    // has its bytes known ("12 items delivered (3.1 MiB of files) in 3.4 s").
    std::string Totals() const;

    void OnCalling(const std::string& operation) override;
    void OnShareStart(const std::string& share) override;
    void OnStep(const std::string& operation, const CRyError& result) override;
    void OnItem(const std::string& share, const FileServerSnapshotCompareItem& item) override;
    void OnShareDone(const ShareResult& share) override;
    void OnArrayActivity(const LocalArrayActivity& activity);

protected:
    // Counts the share's bytes into the totals; OnShareDone does.
    void Tally(const ShareResult& share);

private:
    // A step or counter: redrawn in place on a terminal (at most every
    // 100 ms unless forced), else printed as a line when plain is set.
    void Status(const std::string& text, bool force, bool plain);
    void ClearStatus() const;
    // A counter's status line, with its rate and time since it started; a
    // plain line too when it passes a milestone.
    void Count(const std::string& text, uint64_t done, bool force);

    Verbosity m_verbosity;
    bool m_bTerminal;         // stderr is a terminal
    bool m_bItemsOnTerminal;  // stdout is one too: items show themselves
    mutable bool m_bStatusShown = false;
    std::chrono::steady_clock::time_point m_lastDraw;
    const std::chrono::steady_clock::time_point m_start;  // the job's
    std::chrono::steady_clock::time_point m_counterStart;
    uint64_t m_ullItemsTotal = 0;  // items delivered for every share
    uint64_t m_ullBytes = 0;       // of the shares backed up, when all are known
    bool m_bBytesUnknown = false;
    std::string m_strItemsShare;
    size_t m_nItems = 0;
    uint64_t m_ullMilestone = 0;  // the next count that gets a plain line
    std::string m_strArrayRoot;
    uint64_t m_ullCounted = 0;   // the total of the copy in progress, counted
    std::string m_strShare;      // the share being compared
    std::string m_strPlace;      // where the job is
    std::string m_strInside;     // the array operation in progress
    std::string m_strStoppedAt;  // where an urgent stop cut one short
    uint64_t m_ullLeftOut = 0;
};

}  // namespace snapagent
