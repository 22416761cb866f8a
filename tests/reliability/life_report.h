// Runs one life under a watchdog, adds it to the run's totals and fails the
// current test with everything it found and the way to replay it.
#pragma once

#include "tests/reliability/life_plan.h"
#include "tests/reliability/life_runner.h"

#include <string>

namespace lives {

// `replay` says how to run this life alone.
LifeResult RunAndReport(const LifePlan& plan, const std::string& replay);

}  // namespace lives
