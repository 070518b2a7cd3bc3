// Progress of the harness on stderr, so that stdout carries only results
// (change lists, JSON lines). Quiet prints nothing; normal prints the job's
// steps and each share's outcome; verbose also every plug-in call. (The job
// command prints outcome lines at every verbosity: an operator must never
// miss a share that was not backed up.)
#pragma once

#include "tools/CommandLine.h"
#include "tools/JobRunner.h"

#include <string>

namespace snapagent {

class Progress : public JobObserver {
public:
    explicit Progress(Verbosity verbosity) : m_verbosity(verbosity) {}

    void Say(const std::string& line) const;     // normal and verbose
    void Detail(const std::string& line) const;  // verbose only
    void Always(const std::string& line) const;  // every verbosity

    // "compared (2 changes)", "backed up in full", "needs a full scan (...)",
    // "not backed up (...)".
    static std::string OutcomeText(const ShareResult& share);

    void OnStep(const std::string& operation, const CRyError& result) override;
    void OnShareDone(const ShareResult& share) override;

private:
    Verbosity m_verbosity;
};

}  // namespace snapagent
