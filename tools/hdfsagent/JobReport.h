// What a worker thread finds about one job (problems, warnings), kept until the job's turn comes,
// so that a command that works on several files at once still reports in its input's order.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "Reporter.h"

namespace tool {

class CJobReport {
  public:
    void Problem(std::string path, std::string message) {
        m_vSteps.push_back(
            [path, message](CReporter& reporter) { reporter.Problem(path, message); });
    }
    void Warning(std::string message) {
        m_vSteps.push_back([message](CReporter& reporter) { reporter.Warning(message); });
    }
    // Something to decide only in the job's turn (a warning given once per run, say), in its
    // place among the problems and warnings.
    void Then(std::function<void(CReporter&)> step) { m_vSteps.push_back(std::move(step)); }

    // Reports everything, in the order it was found, and forgets it.
    void Replay(CReporter& reporter) {
        for (const std::function<void(CReporter&)>& step : m_vSteps)
            step(reporter);
        m_vSteps.clear();
    }

  private:
    std::vector<std::function<void(CReporter&)>> m_vSteps;
};

}  // namespace tool
