// The manager on the client path: a host that loaded it as a channel plug-in hands it a query
// record (KAPPluginInit) and then, per channel, asks for an instance that registers its sink
// on that channel. Steps out of order are refused with their texts, and an instance given
// back leaves no sink behind.
#include <dlfcn.h>

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "ChannelTestSupport.h"

namespace {

KAP_SERVICE_QUERY_INTERFACE gLibraryQi;

// The library's record plus the overlay table every client needs, which the stand-in (a
// server-side library) does not offer.
Bool QueryWithOverlay(const GUID* iid, void* table) {
  if (memcmp(iid, &GUID_KAPOverlay_ClientInterface_V1, sizeof(GUID)) == 0) {
    static_cast<uint32_t*>(table)[0] = 1;
    return TRUE;
  }
  return gLibraryQi.QueryInterface(iid, table);
}

class RPCManagerClient : public LoggedChannelFixture {
 protected:
  int64_t Sinks() {
    KapSimCounters counters;
    sim->KapSim_GetCounters(&counters);
    return counters.channelSinks;
  }
};

}  // namespace

TEST_F(RPCManagerClient, HostDrivenInstancesRegisterOnTheGivenChannelAndLeaveNothing) {
  auto serverInit =
      reinterpret_cast<KAPService_ServerInit2_Fn>(dlsym(sim->handle, "KAPService_ServerInit2"));
  auto serverExit =
      reinterpret_cast<KAPService_ServerExit2_Fn>(dlsym(sim->handle, "KAPService_ServerExit2"));
  ASSERT_NE(serverInit, nullptr);
  ASSERT_NE(serverExit, nullptr);
  void* channel = nullptr;  // the host's channel, bound to this thread
  ASSERT_EQ(TRUE, serverInit(190, "client", &gLibraryQi, &channel));

  void* userData = nullptr;
  EXPECT_FALSE(manager->KAPPluginCreateInstance(channel, &userData));
  EXPECT_TRUE(HasLine("Exit - Plugin is not initialized yet."));
  KAP_SERVICE_QUERY_INTERFACE bare = gLibraryQi;
  EXPECT_TRUE(manager->KAPPluginInit(bare));  // answers true, but no overlay table: no client
  EXPECT_TRUE(HasLine("Exit - Failed to get KAPOverlay_ClientInterface"));
  EXPECT_FALSE(manager->KAPPluginCreateInstance(channel, &userData));

  KAP_SERVICE_QUERY_INTERFACE qi = {gLibraryQi.Version, &QueryWithOverlay};
  EXPECT_TRUE(manager->KAPPluginInit(qi));
  EXPECT_FALSE(manager->IsServer());
  EXPECT_TRUE(manager->KAPPluginInit(qi));  // a second init is refused inside
  EXPECT_TRUE(HasLine("Exit - Already initialized"));

  int64_t sinks = Sinks();
  EXPECT_FALSE(manager->KAPPluginCreateInstance(channel, nullptr));
  ASSERT_TRUE(manager->KAPPluginCreateInstance(channel, &userData));
  ASSERT_NE(userData, nullptr);
  EXPECT_EQ(sinks + 1, Sinks());
  EXPECT_TRUE(manager->KAPPluginDestroyInstance(userData));
  EXPECT_EQ(sinks, Sinks());
  EXPECT_TRUE(manager->KAPPluginDestroyInstance(nullptr));

  EXPECT_TRUE(manager->KAPPluginExit());
  EXPECT_TRUE(HasLine("Plugin with token UsbRedirection is exiting.\n"));
  EXPECT_TRUE(manager->KAPPluginExit());  // only says so inside
  EXPECT_TRUE(HasLine("Exit - Not initialized"));
  EXPECT_EQ(TRUE, serverExit(190));
}
