// Progress of the harness on stderr, so that stdout carries only results
// (change lists, JSON lines). Quiet prints nothing; normal prints each step
// of the job, the long operations of the local array and each share's
// outcome; verbose also every plug-in call. (The job command prints outcome
// lines at every verbosity: an operator must never miss a share that was
// not backed up.)
//
// On a terminal, the step in progress is one status line redrawn in place,
// with a counter for the long steps: files copied for a local-array
// snapshot, files removed for a deletion, changes scanned for a comparison,
// items delivered for a share (the last only when stdout, where the items
// go, is not the same terminal). Elsewhere each step is one plain line.
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

    void OnCalling(const std::string& operation) override;
    void OnStep(const std::string& operation, const CRyError& result) override;
    void OnItem(const std::string& share, const FileServerSnapshotCompareItem& item) override;
    void OnShareDone(const ShareResult& share) override;
    void OnArrayActivity(const LocalArrayActivity& activity);

private:
    // A step or counter: redrawn in place on a terminal (at most every
    // 100 ms unless forced), else printed as a line when plain is set.
    void Status(const std::string& text, bool force, bool plain);
    void ClearStatus() const;

    Verbosity m_verbosity;
    bool m_bTerminal;         // stderr is a terminal
    bool m_bItemsOnTerminal;  // stdout is one too: items show themselves
    mutable bool m_bStatusShown = false;
    std::chrono::steady_clock::time_point m_lastDraw;
    std::string m_strItemsShare;
    size_t m_nItems = 0;
};

}  // namespace snapagent
