// The stand-in host against the built plug-in: loading, callback hand-over, refusals.
#include <gtest/gtest.h>

#include <string>

#include "VhubHost.h"

namespace {

TEST(VhubHost, ReportsAPluginThatCannotBeLoaded) {
  VhubHost host("/nonexistent/libusbRedirectionPlugin.so");
  std::string error;
  EXPECT_FALSE(host.Load(&error));
  EXPECT_FALSE(error.empty());
}

TEST(VhubHost, LoadsThePluginAndHandsOverItsTable) {
  VhubHost host(USBREDIR_PLUGIN_PATH);
  std::string error;
  ASSERT_TRUE(host.Load(&error)) << error;
  host.Init();
  EXPECT_EQ(host.InitVhubCallback(true), TRUE);
  EXPECT_EQ(host.InitVhubCallback(false), TRUE);
  host.StopSession(42);  // unknown to the host: nothing happens
  EXPECT_EQ(host.BadFrees(), 0u);
}

}  // namespace
