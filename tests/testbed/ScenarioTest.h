#ifndef VEXLOR_TESTBED_SCENARIO_TEST_H
#define VEXLOR_TESTBED_SCENARIO_TEST_H

#include "Scenario.h"

#include <gtest/gtest.h>
#include <string>

namespace emu {

// Base of the test suites that run scenarios: they are skipped, with the
// reason, where this process cannot host them.
class ScenarioTest : public testing::Test {
protected:
    void SetUp() override
    {
        std::string why;
        if (!canRunScenarios(why))
            GTEST_SKIP() << why;
    }
};

} // namespace emu

#endif
