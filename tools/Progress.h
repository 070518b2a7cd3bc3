// Progress of the harness on stderr, so that stdout carries only results
// (change lists, JSON lines). Quiet prints nothing; normal prints the job
// job's steps and each share's outcome; verbose also every plug-in call.
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

    void OnStep(const std::string& operation, const CRyError& result) override;
    void OnShareDone(const ShareResult& share) override;

private:
    Verbosity m_verbosity;
};

}  // namespace snapagent
