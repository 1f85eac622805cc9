#include <dlfcn.h>

#include <cstdlib>
#include <cstring>

#include "ChannelTestSupport.h"

static KAP_SERVICE_QUERY_INTERFACE gLibraryQi;

// The library's record plus the overlay table a client needs, which the stand-in lacks.
static Bool QueryWithOverlay(const GUID* iid, void* table) {
  if (memcmp(iid, &GUID_KAPOverlay_ClientInterface_V1, sizeof(GUID)) == 0) {
    static_cast<uint32_t*>(table)[0] = 1;
    return TRUE;
  }
  return gLibraryQi.QueryInterface(iid, table);
}

// "<manager's session|none> <running|stopped> <ServerInit2/Exit2/Init/Exit calls>"
class RPCManagerFixture : public ChannelFixture {
 protected:
  std::string State(uint32_t session) {
    uint32_t id = manager->SessionId();
    std::string out = (id == RPCManager::kNoSession ? "none" : std::to_string(id)) +
                      (sim->KapSim_IsServerRunning(session) ? " running " : " stopped ");
    for (const char* f : {"KAPService_ServerInit2", "KAPService_ServerExit2",
                          "KAPService_ServerInit", "KAPService_ServerExit"}) {
      out += std::to_string(Calls(f)) + "/";
    }
    return out + " ";
  }
};

using RPCManagerLogged = RPCManagerFixture;
LOGGED_AND_QUIET(RPCManagerLogged);
using RPCManagerServer = RPCManagerFixture;
INSTANTIATE_TEST_SUITE_P(Quiet, RPCManagerServer, ::testing::Values(false));

TEST_P(RPCManagerLogged, LifeCycleChoosesEntryPointsAndRefusesOutOfOrderSteps) {
  EXPECT_FALSE(manager->ServerExitForSession(74, plugin, false));
  EXPECT_EQ(manager->serverExits, 0);
  EXPECT_TRUE(Logged("Not initialized"));
  setenv("KAPSERVICE_PATH", "/nonexistent/libkapservice.so", 1);
  EXPECT_FALSE(manager->ServerInitForSession(78, plugin, 0));
  setenv("KAPSERVICE_PATH", KAPSERVICE_SIM_NOEXIT2_PATH, 1);  // no exit to match its init
  EXPECT_FALSE(manager->ServerInitForSession(80, plugin, 0));
  EXPECT_EQ(sim->KapSim_IsServerRunning(80), FALSE);
  setenv("KAPSERVICE_PATH", KAPSERVICE_SIM_PATH, 1);
  ASSERT_EQ(sim->KapSim_SetFault("KAPService_ServerInit2", KAPSIM_FAULT_FAIL), TRUE);
  EXPECT_FALSE(manager->ServerInitForSession(75, plugin, 0));
  // A failed init owes no exit.
  EXPECT_EQ(State(75), "none stopped 1/0/0/0/ ");
  EXPECT_TRUE(Logged("KAPService_ServerInit2() failed"));
  sim->KapSim_ResetFaults();

  // Loaded lazily. The stream-data table and the channel table's version 3 are optional.
  sim->KapSim_SetMaxVersion("StreamData", 0);
  sim->KapSim_SetMaxVersion("Channel", 2);
  ASSERT_TRUE(manager->ServerInitForSession(71, plugin, 0));
  EXPECT_EQ(manager->PollWaitMultiple(noEvents, false, 10, false), -2);
  EXPECT_TRUE(Logged("Please upgrade kapservice to support v3.Poll"));
  EXPECT_TRUE(Logged(std::string("Load kapservice from ") + KAPSERVICE_SIM_PATH + " "));
  // Without KAPSERVICE_PATH the agent's own copy is loaded; the path is not tried here.
  EXPECT_STREQ(RPCManager::kKapServicePath,
               "/usr/lib/quorin/zeltagent/CHX/vchan_plugins/libkapservice.so");
  EXPECT_EQ(manager->StreamDataInterface()->v1.GetStreamDataSize, nullptr);
  EXPECT_TRUE(manager->IsServer());

  EXPECT_FALSE(manager->ServerInitForSession(73, plugin, 0));
  EXPECT_TRUE(Logged("Already initialized"));
  EXPECT_EQ(State(71) + State(73), "71 running 1/0/0/0/ 71 stopped 1/0/0/0/ ");
  EXPECT_TRUE(plugin->RegisterChannelSink(nullptr));  // already registered: no second sink
  EXPECT_EQ(Calls("Channel.v1.RegisterChannelNotifySink"), 1u);
  EXPECT_TRUE(Logged("Channel sink already registered"));
  EXPECT_FALSE(manager->StartServer(nullptr));
  EXPECT_FALSE(manager->StopServer(nullptr));
  EXPECT_FALSE(manager->StopAllServers(nullptr));
  EXPECT_TRUE(Logged("Must called from multi-server mode."));

  EXPECT_TRUE(manager->ServerExitForSession(71, plugin, false));
  EXPECT_EQ(manager->serverExits, 1);
  EXPECT_EQ(State(71), "none stopped 1/1/0/0/ ");

  // No session: the server of the process's own session.
  ASSERT_TRUE(manager->ServerInitForSession(RPCManager::kNoSession, plugin, 0));
  std::string own = State(KAPSIM_OWN_SESSION);
  EXPECT_TRUE(manager->ServerExitForSession(RPCManager::kNoSession, plugin, false));
  EXPECT_EQ(own + State(KAPSIM_OWN_SESSION), "none running 1/1/1/0/ none stopped 1/1/1/1/ ");
}

TEST_P(RPCManagerLogged, FailureAfterServerStartedEndsItAgain) {
  const struct {
    const char* what;
    const char *table, *fault;  // offered at version 0 / made to fail, or null
    bool tcp, virt, failTcpConfig;
    const char* text;  // logged, or null
    uint32_t waitMs;
  } cases[] = {
      {"no variant table", "Variant", nullptr, false, false, false, nullptr, 0},
      {"no channel table", "Channel", nullptr, false, false, false, nullptr, 0},
      {"no object table", "ChannelObject", nullptr, false, false, false, nullptr, 0},
      {"no context table", "Context", nullptr, false, false, false, nullptr, 0},
      {"sink refused", nullptr, "Channel.v1.RegisterChannelNotifySink", false, false, false,
       nullptr, 0},
      {"tcp configuration fails", nullptr, nullptr, false, false, true, nullptr, 0},
      {"tcp unavailable", nullptr, "ChannelObject.v2.IsSideChannelAvailable", true, false, false,
       "TCP requested but unavailable", 0},
      {"virtual unavailable", nullptr, "ChannelObject.v2.IsSideChannelAvailable", false, true,
       false, "Virtual side channel requested but unavailable", 0},
      {"no client", nullptr, nullptr, false, false, false, nullptr, 150},
  };
  uint32_t session = 158;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Restart();
    ASSERT_TRUE(c.table == nullptr || sim->KapSim_SetMaxVersion(c.table, 0));
    ASSERT_TRUE(c.fault == nullptr || sim->KapSim_SetFault(c.fault, KAPSIM_FAULT_FAIL));
    manager->wantTcp = c.tcp;
    manager->wantVirtual = c.virt;
    manager->failTcpConfig = c.failTcpConfig;
    auto init = [&] { EXPECT_FALSE(manager->ServerInitForSession(session, plugin, c.waitMs)); };
    EXPECT_GE(MsTaken(init) + 10, c.waitMs);
    EXPECT_EQ(State(session++), "none stopped 1/1/0/0/ ");
    EXPECT_TRUE(c.text == nullptr || Logged(c.text));
  }
  Restart();
  EXPECT_TRUE(manager->ServerInitForSession(76, plugin, 0));
}

// Only the init thread polls (in slices of at most 100 ms) and tears the instance down at exit.
TEST_P(RPCManagerServer, WaitsPollAndExitTearsDownOnlyOnTheInitThread) {
  StartReady(91);
  uint64_t polls = Calls("Channel.v1.Poll");
  EXPECT_GE(MsTaken([&] { EXPECT_EQ(manager->WaitMultiple(noEvents, false, 450, false), -1); }),
            440);
  // One up front and one after each slice (6); a loaded machine may stretch a slice.
  EXPECT_GE(Calls("Channel.v1.Poll") - polls, 2u);

  QrEvent unset(true, false), set(true, true);
  std::vector<QrEvent*> events{&unset, &set}, notSet{&unset};
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(manager->WaitMultiple(events, false, 5000, false), 1);
  EXPECT_EQ(manager->PollWaitMultiple(events, false, 5000, false), 1);
  EXPECT_TRUE(manager->WaitForEvent(&set, 0));
  EXPECT_FALSE(manager->WaitForEvent(&unset, 0));
  EXPECT_EQ(manager->PollWaitMultiple(notSet, false, 0, false), -1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));

  polls = Calls("Channel.v3.Poll");
  EXPECT_GE(MsTaken([&] { EXPECT_EQ(manager->PollWaitMultiple(notSet, false, 430, false), -1); }),
            420);
  EXPECT_GE(Calls("Channel.v3.Poll") - polls, 2u);  // slices of at most 100 ms (5)

  polls = Calls("Channel.v3.Poll") + Calls("Channel.v1.Poll");
  std::thread waiter([&] { EXPECT_EQ(manager->PollWaitMultiple(notSet, false, 5000, false), 0); });
  std::this_thread::sleep_for(std::chrono::milliseconds(120));
  unset.Set();
  waiter.join();
  EXPECT_EQ(Calls("Channel.v3.Poll") + Calls("Channel.v1.Poll"), polls);

  EXPECT_TRUE(manager->ServerExitForSession(91, plugin, true));
  EXPECT_EQ(Calls("Channel.v1.Disconnect") + Calls("Channel.v1.UnregisterChannelNotifySink"), 0u);
  EXPECT_EQ(sim->KapSim_IsServerRunning(91), FALSE);
  EXPECT_TRUE(plugin->IsReady());
}

TEST(RPCManagerNames, StatesUnknownValuesAndLongNames) {
  std::string names;
  for (const char* name :
       {RPCManager::ConnectionStateToStr(-1), RPCManager::ConnectionStateToStr(2),
        RPCManager::ConnectionStateToStr(7), RPCManager::ChannelStateToStr(0),
        RPCManager::ChannelStateToStr(3), RPCManager::ChannelObjectStateToStr(1),
        RPCManager::ChannelObjectStateToStr(5), RPCManager::ChannelObjectStateToStr(9),
        RPCPluginInstance::RCPChannelTypeStr(1), RPCPluginInstance::RCPChannelTypeStr(4)}) {
    names += std::string(name) + ";";
  }
  EXPECT_EQ(names,
            "UNINITIALIZED;CONNECTED;unknown7;DISCONNECTED;unknown3;PENDING;"
            "PENDING_AND_PEER_OBJ_CREATED;unknown[9];DATA;unknown4;");
  std::string longName(200, 'x');
  const char* n = longName.c_str();
  RCPtr<RPCManager> manager(new RPCManager(n, n, n, n));
  EXPECT_EQ(std::string(manager->TokenName()) + "|" + manager->GetTcpObjName(),
            std::string(59, 'x') + "|" + std::string(63, 'x'));
}

// The client path: a host hands over a query record, then asks for an instance per channel.
TEST_P(RPCManagerLogged, HostDrivenClientInstancesRegisterOnTheGivenChannel) {
  auto serverInit =
      reinterpret_cast<KAPService_ServerInit2_Fn>(dlsym(sim->Handle(), "KAPService_ServerInit2"));
  auto serverExit =
      reinterpret_cast<KAPService_ServerExit2_Fn>(dlsym(sim->Handle(), "KAPService_ServerExit2"));
  ASSERT_TRUE(serverInit != nullptr && serverExit != nullptr);
  void* channel = nullptr;  // the host's channel, bound to this thread
  ASSERT_EQ(TRUE, serverInit(190, "client", &gLibraryQi, &channel));

  void* userData = nullptr;
  EXPECT_FALSE(manager->KAPPluginCreateInstance(channel, &userData));
  EXPECT_TRUE(Logged("Exit - Plugin is not initialized yet."));
  EXPECT_TRUE(manager->KAPPluginInit(gLibraryQi));  // answers true, but no overlay: no client
  EXPECT_TRUE(Logged("Exit - Failed to get KAPOverlay_ClientInterface"));
  EXPECT_FALSE(manager->KAPPluginCreateInstance(channel, &userData));

  KAP_SERVICE_QUERY_INTERFACE qi = {gLibraryQi.Version, &QueryWithOverlay};
  EXPECT_TRUE(manager->KAPPluginInit(qi));
  EXPECT_FALSE(manager->IsServer());
  EXPECT_TRUE(manager->KAPPluginInit(qi));  // a second init is refused inside
  EXPECT_TRUE(Logged("Exit - Already initialized"));

  int64_t sinks = sim->Counters().channelSinks;
  EXPECT_FALSE(manager->KAPPluginCreateInstance(channel, nullptr));
  ASSERT_TRUE(manager->KAPPluginCreateInstance(channel, &userData));
  ASSERT_NE(userData, nullptr);
  EXPECT_EQ(sim->Counters().channelSinks, sinks + 1);
  EXPECT_TRUE(manager->KAPPluginDestroyInstance(userData));
  EXPECT_EQ(sim->Counters().channelSinks, sinks);
  EXPECT_TRUE(manager->KAPPluginDestroyInstance(nullptr));

  EXPECT_TRUE(manager->KAPPluginExit());
  EXPECT_TRUE(Logged("Plugin with token UsbRedirection is exiting."));
  EXPECT_TRUE(manager->KAPPluginExit());  // only says so inside
  EXPECT_TRUE(Logged("Exit - Not initialized"));
  EXPECT_EQ(TRUE, serverExit(190));
}
