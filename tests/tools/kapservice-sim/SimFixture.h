// The fixture the stand-in library's suites share: after every test the fault switches go
// back to normal and nothing the library counts (servers, sinks, objects, contexts, handed-out
// variants, clients) may be left behind by the test.
// Not thread safe: GoogleTest runs TearDown on the test's own thread, after its threads end.
#pragma once

#include <gtest/gtest.h>

#include "KapServiceSim.h"

namespace kapsimtest {

class SimFixture : public ::testing::Test {
 protected:
  void TearDown() override {
    KapSim_ResetFaults();
    KapSimCounters c{};
    KapSim_GetCounters(&c);
    EXPECT_EQ(c.servers, 0);
    EXPECT_EQ(c.channelSinks, 0);
    EXPECT_EQ(c.objects, 0);
    EXPECT_EQ(c.contexts, 0);
    EXPECT_EQ(c.variants, 0);
    EXPECT_EQ(c.clients, 0);
  }
};

}  // namespace kapsimtest
