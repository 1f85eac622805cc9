#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "ChannelTestSupport.h"
#include "channel/SessionUtils.h"

namespace {

using Clock = std::chrono::steady_clock;

int64_t MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Restores KAPSERVICE_PATH when a test pointed it elsewhere.
class ScopedKapServicePath {
 public:
  explicit ScopedKapServicePath(const char* path) {
    if (path == nullptr) {
      unsetenv("KAPSERVICE_PATH");
    } else {
      setenv("KAPSERVICE_PATH", path, 1);
    }
  }
  ~ScopedKapServicePath() { setenv("KAPSERVICE_PATH", KAPSERVICE_SIM_PATH, 1); }
};

}  // namespace

using RPCManagerServer = ChannelFixture;

TEST_F(RPCManagerServer, SessionIdChoosesInitEntryPointAndExitEndsServer) {
  ASSERT_TRUE(manager->ServerInitForSession(71, plugin, 0));
  EXPECT_EQ(manager->SessionId(), 71u);
  EXPECT_TRUE(manager->IsServer());
  EXPECT_EQ(sim->KapSim_IsServerRunning(71), TRUE);
  EXPECT_EQ(Calls("KAPService_ServerInit2"), 1u);
  EXPECT_EQ(Calls("KAPService_ServerInit"), 0u);

  EXPECT_TRUE(manager->ServerExitForSession(71, plugin, false));
  EXPECT_EQ(sim->KapSim_IsServerRunning(71), FALSE);
  EXPECT_EQ(Calls("KAPService_ServerExit2"), 1u);
  EXPECT_EQ(manager->SessionId(), RPCManager::kNoSession);
  EXPECT_EQ(manager->serverExitCount, 1);

  // No session: the server of the process's own session.
  ASSERT_TRUE(manager->ServerInitForSession(RPCManager::kNoSession, plugin, 0));
  EXPECT_EQ(Calls("KAPService_ServerInit"), 1u);
  EXPECT_EQ(sim->KapSim_IsServerRunning(KAPSIM_OWN_SESSION), TRUE);
  EXPECT_TRUE(manager->ServerExitForSession(RPCManager::kNoSession, plugin, false));
  EXPECT_EQ(Calls("KAPService_ServerExit"), 1u);
  EXPECT_EQ(sim->KapSim_IsServerRunning(KAPSIM_OWN_SESSION), FALSE);
}

TEST_F(RPCManagerServer, SecondInitFailsAndChangesNothing) {
  ASSERT_TRUE(manager->ServerInitForSession(72, plugin, 0));
  EXPECT_FALSE(manager->ServerInitForSession(73, plugin, 0));
  EXPECT_EQ(manager->SessionId(), 72u);
  EXPECT_EQ(Calls("KAPService_ServerInit2"), 1u);
  EXPECT_EQ(sim->KapSim_IsServerRunning(73), FALSE);
  EXPECT_EQ(sim->KapSim_IsServerRunning(72), TRUE);
}

TEST_F(RPCManagerServer, ExitWithoutInitFails) {
  EXPECT_FALSE(manager->ServerExitForSession(74, plugin, false));
  EXPECT_EQ(Calls("KAPService_ServerExit2"), 0u);
  EXPECT_EQ(manager->serverExitCount, 0);
}

TEST_F(RPCManagerServer, FailedInitEntryPointOwesNoExitAndManagerCanRetry) {
  ASSERT_EQ(sim->KapSim_SetFault("KAPService_ServerInit2", KAPSIM_FAULT_FAIL), TRUE);
  EXPECT_FALSE(manager->ServerInitForSession(75, plugin, 0));
  EXPECT_EQ(manager->SessionId(), RPCManager::kNoSession);
  EXPECT_EQ(Calls("KAPService_ServerExit2"), 0u);

  sim->KapSim_ResetFaults();
  EXPECT_TRUE(manager->ServerInitForSession(75, plugin, 0));
  EXPECT_EQ(sim->KapSim_IsServerRunning(75), TRUE);
}

// Every failure after a started server ends that server again and leaves the manager
// ready for a new attempt.
TEST_F(RPCManagerServer, FailureAfterServerStartedEndsItAgain) {
  struct Case {
    const char* what;
    std::function<void()> arrange;
  };
  std::vector<Case> cases = {
      {"no variant table", [&] { sim->KapSim_SetMaxVersion("Variant", 0); }},
      {"no channel table", [&] { sim->KapSim_SetMaxVersion("Channel", 0); }},
      {"no object table", [&] { sim->KapSim_SetMaxVersion("ChannelObject", 0); }},
      {"no context table", [&] { sim->KapSim_SetMaxVersion("Context", 0); }},
      {"sink refused",
       [&] { sim->KapSim_SetFault("Channel.v1.RegisterChannelNotifySink", KAPSIM_FAULT_FAIL); }},
      {"tcp configuration fails", [&] { manager->failTcpConfig = true; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    sim->KapSim_ResetFaults();
    manager->failTcpConfig = false;
    c.arrange();
    EXPECT_FALSE(manager->ServerInitForSession(76, plugin, 0));
    EXPECT_EQ(manager->SessionId(), RPCManager::kNoSession);
    EXPECT_EQ(sim->KapSim_IsServerRunning(76), FALSE);
    EXPECT_EQ(Calls("KAPService_ServerInit2"), 1u);
    EXPECT_EQ(Calls("KAPService_ServerExit2"), 1u);
  }
  sim->KapSim_ResetFaults();
  manager->failTcpConfig = false;
  EXPECT_TRUE(manager->ServerInitForSession(76, plugin, 0));
}

TEST_F(RPCManagerServer, StreamDataTableIsOptional) {
  sim->KapSim_SetMaxVersion("StreamData", 0);
  EXPECT_TRUE(manager->ServerInitForSession(77, plugin, 0));
  EXPECT_EQ(manager->StreamDataInterface()->v1.GetStreamDataSize, nullptr);
}

TEST_F(RPCManagerServer, MissingLibraryFailsWithoutServer) {
  {
    ScopedKapServicePath path("/nonexistent/libkapservice.so");
    EXPECT_FALSE(manager->ServerInitForSession(78, plugin, 0));
  }
  // The library is loaded lazily, so the next attempt with a good path works.
  EXPECT_TRUE(manager->ServerInitForSession(78, plugin, 0));
  EXPECT_EQ(sim->KapSim_IsServerRunning(78), TRUE);
}

#ifdef KAPSERVICE_SIM_NOEXIT2_PATH
TEST_F(RPCManagerServer, LibraryWithoutMatchingExitIsRejected) {
  ScopedKapServicePath path(KAPSERVICE_SIM_NOEXIT2_PATH);
  EXPECT_FALSE(manager->ServerInitForSession(80, plugin, 0));
  EXPECT_EQ(sim->KapSim_IsServerRunning(80), FALSE);
}
#endif

TEST_F(RPCManagerServer, ExitOnDifferentThreadSkipsInstanceButEndsServer) {
  StartReady(81);
  uint64_t disconnects = Calls("Channel.v1.Disconnect");
  uint64_t unregisters = Calls("Channel.v1.UnregisterChannelNotifySink");
  EXPECT_TRUE(manager->ServerExitForSession(81, plugin, true));
  EXPECT_EQ(Calls("Channel.v1.Disconnect"), disconnects);
  EXPECT_EQ(Calls("Channel.v1.UnregisterChannelNotifySink"), unregisters);
  EXPECT_EQ(sim->KapSim_IsServerRunning(81), FALSE);
}

TEST_F(RPCManagerServer, ExitDisconnectsAndUnregistersTheInstance) {
  StartReady(82);
  EXPECT_TRUE(manager->ServerExitForSession(82, plugin, false));
  EXPECT_EQ(Calls("Channel.v1.Disconnect"), 1u);
  EXPECT_EQ(Calls("Channel.v1.UnregisterChannelNotifySink"), 1u);
  EXPECT_EQ(plugin->notReadyCount.load(), 1);
  EXPECT_EQ(plugin->badEdges.load(), 0);
  EXPECT_FALSE(plugin->IsReady());
}

TEST_F(RPCManagerServer, WaitingForReadinessAtInitFailsWithoutClient) {
  auto start = Clock::now();
  EXPECT_FALSE(manager->ServerInitForSession(83, plugin, 150));
  int64_t ms = MsSince(start);
  EXPECT_GE(ms, 140);
  EXPECT_LT(ms, 2000);
  EXPECT_EQ(sim->KapSim_IsServerRunning(83), FALSE);
}

TEST_F(RPCManagerServer, MultiServerModeNeedsTheServerTable) {
  sim->KapSim_SetMaxVersion("Server", 0);
  EXPECT_FALSE(manager->MultiServerInit(84));
  EXPECT_EQ(Calls("KAPService_MultiServerInit"), 1u);
  EXPECT_EQ(Calls("KAPService_MultiServerExit"), 1u);
  EXPECT_FALSE(manager->StartServer(nullptr));
  EXPECT_FALSE(manager->StopServer(nullptr));
  EXPECT_FALSE(manager->StopAllServers(nullptr));
  EXPECT_EQ(RPCManager::GetRPCManagerByServerId(reinterpret_cast<KapServerID>(0x1)).Ptr(), nullptr);
  EXPECT_EQ(RPCManager::GetInstanceByServerId(reinterpret_cast<KapServerID>(0x1)).Ptr(), nullptr);
}

// Each client of a multi-server session is served by a server and an instance of its own;
// a stopped server's instance goes through not-ready and leaves both lookups.
TEST_F(RPCManagerServer, MultiServerSessionServesEachClientWithItsOwnInstance) {
  ASSERT_NO_FATAL_FAILURE(StartServers(85, 2));
  KapServerID first = sim->KapSim_GetClientServer(clients[0]);
  KapServerID second = sim->KapSim_GetClientServer(clients[1]);
  RCPtr<CountingPlugin> a = InstanceOf(clients[0]);
  RCPtr<CountingPlugin> b = InstanceOf(clients[1]);
  ASSERT_NE(first, second);
  EXPECT_NE(a.Ptr(), b.Ptr());
  EXPECT_EQ(a->GetServerId(), first);
  EXPECT_EQ(RPCManager::GetRPCManagerByServerId(second).Ptr(),
            static_cast<RPCManager*>(manager.Ptr()));
  EXPECT_EQ(manager->serversConnected, 2);

  EXPECT_TRUE(manager->StartServer(second));
  EXPECT_TRUE(manager->StopServer(first));
  ASSERT_TRUE(PumpUntil([&] { return manager->serversDisconnected == 1; }));
  Drain();
  EXPECT_EQ(a->notReadyCount.load(), 1);
  EXPECT_EQ(RPCManager::GetInstanceByServerId(first).Ptr(), nullptr);
  EXPECT_EQ(RPCManager::GetRPCManagerByServerId(first).Ptr(), nullptr);
  EXPECT_TRUE(b->IsReady());

  EXPECT_TRUE(manager->StopAllServers(second));
  ASSERT_TRUE(PumpUntil([&] { return manager->serversDisconnected == 2; }));
  Drain();
  EXPECT_EQ(b->notReadyCount.load(), 1);
  EXPECT_EQ(RPCManager::GetInstanceByServerId(second).Ptr(), nullptr);
}

// Servers still connected when the session ends must not keep the manager alive.
TEST_F(RPCManagerServer, MultiServerExitReleasesEveryServer) {
  ASSERT_NO_FATAL_FAILURE(StartServers(86, 2));
  KapServerID server = sim->KapSim_GetClientServer(clients[0]);
  EXPECT_TRUE(manager->MultiServerExit(86, nullptr));
  multiServer = false;
  EXPECT_EQ(RPCManager::GetRPCManagerByServerId(server).Ptr(), nullptr);
  EXPECT_EQ(manager->RefCount(), 1);
  EXPECT_EQ(sim->KapSim_GetClientServer(clients[0]), nullptr);
}

using RPCManagerWait = ChannelFixture;

TEST_F(RPCManagerWait, EmptyListOffInitThreadIsAnErrorAtOnce) {
  ASSERT_TRUE(manager->ServerInitForSession(90, plugin, 0));
  int rc = 0;
  int64_t ms = 0;
  std::thread other([&] {
    std::vector<QrEvent*> none;
    auto start = Clock::now();
    rc = manager->WaitMultiple(none, false, 500, false);
    ms = MsSince(start);
  });
  other.join();
  EXPECT_EQ(rc, -2);
  EXPECT_LT(ms, 400);
}

TEST_F(RPCManagerWait, EmptyListOnInitThreadPollsForTheWholeTimeout) {
  ASSERT_TRUE(manager->ServerInitForSession(91, plugin, 0));
  uint64_t polls = Calls("Channel.v1.Poll");
  std::vector<QrEvent*> none;
  auto start = Clock::now();
  EXPECT_EQ(manager->WaitMultiple(none, false, 250, false), -1);
  int64_t ms = MsSince(start);
  EXPECT_GE(ms, 240);
  EXPECT_LT(ms, 2000);
  // One poll up front and one after each slice but the last.
  EXPECT_GE(Calls("Channel.v1.Poll") - polls, 3u);
}

TEST_F(RPCManagerWait, SignalledEventAnswersItsIndexAtOnce) {
  ASSERT_TRUE(manager->ServerInitForSession(92, plugin, 0));
  QrEvent first(true, false);
  QrEvent second(true, true);
  std::vector<QrEvent*> events{&first, &second};
  auto start = Clock::now();
  EXPECT_EQ(manager->WaitMultiple(events, false, 5000, false), 1);
  EXPECT_EQ(manager->PollWaitMultiple(events, false, 5000, false), 1);
  EXPECT_LT(MsSince(start), 1000);
  // A single event.
  std::vector<QrEvent*> one{&second};
  EXPECT_EQ(manager->WaitMultiple(one, false, 5000, false), 0);
  EXPECT_TRUE(manager->WaitForEvent(&second, 0));
  EXPECT_FALSE(manager->WaitForEvent(&first, 0));
}

TEST_F(RPCManagerWait, ZeroTimeoutMakesOneRoundAndTimesOut) {
  ASSERT_TRUE(manager->ServerInitForSession(93, plugin, 0));
  QrEvent unset(true, false);
  std::vector<QrEvent*> events{&unset};
  auto start = Clock::now();
  EXPECT_EQ(manager->WaitMultiple(events, false, 0, false), -1);
  EXPECT_EQ(manager->PollWaitMultiple(events, false, 0, false), -1);
  EXPECT_LT(MsSince(start), 500);
}

TEST_F(RPCManagerWait, OtherThreadWaitsWithoutPollingUntilSignalled) {
  ASSERT_TRUE(manager->ServerInitForSession(94, plugin, 0));
  QrEvent event(true, false);
  uint64_t polls = Calls("Channel.v3.Poll") + Calls("Channel.v1.Poll");
  int rc = 0;
  std::thread waiter([&] {
    std::vector<QrEvent*> events{&event};
    rc = manager->PollWaitMultiple(events, false, 5000, false);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(120));
  event.Set();
  waiter.join();
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(Calls("Channel.v3.Poll") + Calls("Channel.v1.Poll"), polls);
}

TEST_F(RPCManagerWait, PollWaitTimesOutAfterTheTimeout) {
  ASSERT_TRUE(manager->ServerInitForSession(95, plugin, 0));
  QrEvent unset(true, false);
  std::vector<QrEvent*> events{&unset};
  auto start = Clock::now();
  EXPECT_EQ(manager->PollWaitMultiple(events, false, 230, false), -1);
  int64_t ms = MsSince(start);
  EXPECT_GE(ms, 220);
  EXPECT_LT(ms, 2000);
  EXPECT_GE(Calls("Channel.v3.Poll"), 3u);  // slices of at most 100 ms
}

TEST_F(RPCManagerWait, PollWaitNeedsTheTimedPoll) {
  sim->KapSim_SetMaxVersion("Channel", 2);
  ASSERT_TRUE(manager->ServerInitForSession(96, plugin, 0));
  QrEvent set(true, true);
  std::vector<QrEvent*> events{&set};
  EXPECT_EQ(manager->PollWaitMultiple(events, false, 100, false), -2);
}

// The session thread's wait dispatches the client's connection until the instance is
// ready, which ends the wait on the readiness event.
TEST_F(RPCManagerWait, PollWaitDrivesConnectionToReadiness) {
  ASSERT_NO_FATAL_FAILURE(StartAndConnect(97));
  std::vector<QrEvent*> events{&plugin->readyEvent};
  EXPECT_EQ(manager->PollWaitMultiple(events, false, 5000, false), 0);
  EXPECT_TRUE(plugin->IsReady());
  EXPECT_EQ(plugin->readyCount.load(), 1);
}

TEST(RPCManagerNames, StatesAndUnknownValues) {
  EXPECT_STREQ(RPCManager::ConnectionStateToStr(-1), "UNINITIALIZED");
  EXPECT_STREQ(RPCManager::ConnectionStateToStr(2), "CONNECTED");
  EXPECT_STREQ(RPCManager::ConnectionStateToStr(7), "unknown7");
  EXPECT_STREQ(RPCManager::ChannelStateToStr(0), "DISCONNECTED");
  EXPECT_STREQ(RPCManager::ChannelStateToStr(3), "unknown3");
  EXPECT_STREQ(RPCManager::ChannelObjectStateToStr(1), "PENDING");
  EXPECT_STREQ(RPCManager::ChannelObjectStateToStr(5), "PENDING_AND_PEER_OBJ_CREATED");
  EXPECT_STREQ(RPCManager::ChannelObjectStateToStr(9), "unknown[9]");
  EXPECT_STREQ(RPCPluginInstance::RCPChannelTypeStr(1), "DATA");
  EXPECT_STREQ(RPCPluginInstance::RCPChannelTypeStr(4), "unknown4");
}

TEST(RPCManagerNames, LongNamesAreCutToTheirFields) {
  std::string longName(200, 'x');
  RCPtr<RPCManager> manager(
      new RPCManager(longName.c_str(), longName.c_str(), longName.c_str(), longName.c_str()));
  EXPECT_EQ(std::string(manager->TokenName()), std::string(59, 'x'));
  EXPECT_EQ(std::string(manager->GetTcpObjName()), std::string(63, 'x'));
}
