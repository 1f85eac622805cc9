// The framework's fixed log texts, read back through the recording test writer.
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "ChannelTestSupport.h"
#include "channel/KAPServiceCommand.h"
#include "channel/SessionUtils.h"
#include "support/ScopedTestLogger.h"

namespace {

// Lines may reach the writer from the logger's own thread: wait a little for them.
bool Logged(ScopedTestLogger& log, const std::string& fragment) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (log.Writer()->CountContaining(fragment) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

class ChannelLogLines : public ChannelFixture {
 protected:
  void SetUp() override {
    log.reset(new ScopedTestLogger(LOGGER_LOG_VERBOSE));
    ASSERT_TRUE(log->Started());
    ChannelFixture::SetUp();
  }
  void TearDown() override {
    ChannelFixture::TearDown();
    log.reset();
  }
  std::unique_ptr<ScopedTestLogger> log;
};

}  // namespace

TEST_F(ChannelLogLines, LoadNamesThePathUsed) {
  ASSERT_TRUE(manager->ServerInitForSession(150, plugin, 0));
  EXPECT_TRUE(log->Writer()->HasMessage(std::string("Load kapservice from ") + KAPSERVICE_SIM_PATH +
                                        " \n"));
  // Without KAPSERVICE_PATH the agent's own copy is loaded; the path is not tried here.
  EXPECT_STREQ(RPCManager::kKapServicePath,
               "/usr/lib/quorin/zeltagent/CHX/vchan_plugins/libkapservice.so");
}

// A side channel the manager asks for must exist before the server is accepted.
TEST_F(ChannelLogLines, UnavailableSideChannelEndsTheServer) {
  struct Case {
    const char* what;
    bool tcp;
    const char* message;
  };
  const Case cases[] = {{"tcp", true, "TCP requested but unavailable"},
                        {"virtual", false, "Virtual side channel requested but unavailable"}};
  uint32_t session = 158;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Restart();
    manager->wantTcp = c.tcp;
    manager->wantVirtual = !c.tcp;
    sim->KapSim_SetFault("ChannelObject.v2.IsSideChannelAvailable", KAPSIM_FAULT_FAIL);
    EXPECT_FALSE(manager->ServerInitForSession(session, plugin, 0));
    EXPECT_EQ(sim->KapSim_IsServerRunning(session++), FALSE);
    EXPECT_TRUE(Logged(*log, c.message));
  }
}

TEST_F(ChannelLogLines, SideChannelConnectedWithoutRequestIsOnlyLogged) {
  ASSERT_NO_FATAL_FAILURE(StartAndConnect(160, KAPSIM_CLIENT_MANUAL_OBJECTS));
  ASSERT_TRUE(PumpUntil([&] { return sim->KapSim_ConnectObject(client, ControlName()) == TRUE; }));
  ASSERT_TRUE(PumpUntil([&] {
    return sim->KapSim_SetObjectState(client, DataName(), KAP_RPC_OBJ_SIDE_CHANNEL_CONNECTED) ==
           TRUE;
  }));
  ASSERT_TRUE(PumpUntil([&] {
    return log->Writer()->HasMessage("Side channel was not pending when connected was received.\n");
  }));
  EXPECT_FALSE(plugin->IsReady());
}

TEST_F(ChannelLogLines, LifeCycleRefusalsAreLogged) {
  EXPECT_FALSE(manager->ServerExitForSession(152, plugin, false));
  EXPECT_TRUE(Logged(*log, "Not initialized"));
  ASSERT_TRUE(manager->ServerInitForSession(152, plugin, 0));
  EXPECT_FALSE(manager->ServerInitForSession(152, plugin, 0));
  EXPECT_TRUE(Logged(*log, "Already initialized"));
  EXPECT_TRUE(plugin->RegisterChannelSink(nullptr));
  EXPECT_TRUE(Logged(*log, "Channel sink already registered"));
  EXPECT_FALSE(manager->StartServer(nullptr));
  EXPECT_TRUE(log->Writer()->HasMessage("Must called from multi-server mode.\n"));
}

TEST_F(ChannelLogLines, FailingInitNamesTheEntryPoint) {
  sim->KapSim_SetFault("KAPService_ServerInit2", KAPSIM_FAULT_FAIL);
  EXPECT_FALSE(manager->ServerInitForSession(153, plugin, 0));
  EXPECT_TRUE(Logged(*log, "KAPService_ServerInit2() failed"));
}

TEST_F(ChannelLogLines, WaitsExplainTheirErrors) {
  sim->KapSim_SetMaxVersion("Channel", 2);
  ASSERT_TRUE(manager->ServerInitForSession(154, plugin, 0));
  std::vector<QrEvent*> none;
  EXPECT_EQ(manager->PollWaitMultiple(none, false, 10, false), -2);
  EXPECT_TRUE(log->Writer()->HasMessage("Please upgrade kapservice to support v3.Poll\n"));
  std::thread other([&] { EXPECT_EQ(manager->WaitMultiple(none, false, 10, false), -2); });
  other.join();
  EXPECT_TRUE(Logged(*log,
                     "Called with empty QrEvents vector on different thread: "
                     "m_hInitThreadId(0x"));
}

TEST_F(ChannelLogLines, ConnectionStepsAreLogged) {
  plugin->SetDiscardNewConnections(true);
  ASSERT_NO_FATAL_FAILURE(StartAndConnect(155));
  ASSERT_TRUE(PumpUntil(
      [&] { return log->Writer()->HasMessage("New connection discarded by request.\n"); }));
  plugin->SetDiscardNewConnections(false);
  ASSERT_TRUE(plugin->UnregisterChannelSink());
  ASSERT_TRUE(plugin->RegisterChannelSink(nullptr));
  EXPECT_TRUE(log->Writer()->HasMessage("Simulating connect callback\n"));
  ASSERT_TRUE(PumpUntil([&] { return plugin->IsReady(); }));
  EXPECT_TRUE(Logged(*log, "Channel object \"UsbRedirDataObj\" created with flags 0x31"));
  EXPECT_TRUE(Logged(*log, "Set session type of the channel to TALON SESSION"));
}

TEST_F(ChannelLogLines, MessageFailuresAreLogged) {
  sim->KapSim_OfferVersion1Only();
  ASSERT_NO_FATAL_FAILURE(StartAndConnect(156));
  ASSERT_TRUE(manager->WaitForEvent(&plugin->readyEvent, 5000));  // no timed poll in v1
  void* ctx = nullptr;
  ASSERT_TRUE(plugin->CreateMessage(&ctx, RPCPluginInstance::RPC_CHANNEL_TYPE_DATA));
  PlainCommand command(plugin->ChannelContextInterface(), plugin->VariantInterface(), ctx);
  KAP_RPC_VARIANT v;
  memset(&v, 0, sizeof(v));
  EXPECT_FALSE(command.GetParam(0, &v));
  EXPECT_TRUE(log->Writer()->HasMessage("Index [0] out of range [0].\n"));
  EXPECT_TRUE(plugin->InvokeMessage(ctx, FALSE, RPCPluginInstance::RPC_CHANNEL_TYPE_DATA));
  EXPECT_TRUE(log->Writer()->HasMessage("Unable to set post mode for kapservice.\n"));
  EXPECT_TRUE(plugin->InvokeMessage(ctx, TRUE, RPCPluginInstance::RPC_CHANNEL_TYPE_DATA));
  EXPECT_TRUE(plugin->DestroyMessage(ctx));
  EXPECT_FALSE(plugin->WaitForPendingMessages(0));
  EXPECT_TRUE(Logged(*log, "1 message still pending"));
}

TEST_F(ChannelLogLines, RemovingAnUnknownSessionIdLogsNothing) {
  DWORD id = SessionUtils::GetNextUniqueSid(157, nullptr);
  ASSERT_EQ(SessionUtils::RemoveUniqueSid(id), TRUE);
  EXPECT_EQ(SessionUtils::RemoveUniqueSid(id), FALSE);
  EXPECT_EQ(log->Writer()->CountContaining("Internal SID map"), 0);
}

// Once the channel is a file descriptor, every RPC operation refuses with its own name.
TEST_F(ChannelLogLines, StreamDataModeRefusesTheRpcOperations) {
  ASSERT_TRUE(manager->ServerInitForSession(161, plugin, 0));
  EXPECT_EQ(plugin->SwitchToStreamDataMode(), 0);  // no client yet
  EXPECT_TRUE(Logged(*log, "Switch to StreamData mode failed!"));
  client = sim->KapSim_ConnectClient(161, KAPSIM_CLIENT_DEFAULT, KAP_SERVICE_TALON_SESSION);
  ASSERT_NE(client, nullptr);
  ASSERT_TRUE(PumpUntil([&] { return plugin->IsReady(); }));
  void* ctx = nullptr;
  ASSERT_TRUE(plugin->CreateMessage(&ctx, RPCPluginInstance::RPC_CHANNEL_TYPE_DATA));

  int fd = plugin->SwitchToStreamDataMode();
  ASSERT_GT(fd, 0);
  EXPECT_TRUE(plugin->InStreamDataMode());
  int peer = sim->KapSim_GetStreamDataPeer(client);
  ASSERT_GE(peer, 0);
  char bytes[4] = {};
  ASSERT_EQ(write(peer, "urb", 3), 3);
  EXPECT_EQ(read(fd, bytes, sizeof(bytes)), 3);
  close(fd);

  struct Case {
    const char* name;
    std::function<bool()> call;
  };
  const Case cases[] = {
      {"InvokeMessage",
       [&] { return plugin->InvokeMessage(ctx, FALSE, RPCPluginInstance::RPC_CHANNEL_TYPE_DATA); }},
      {"RegisterChannelSink", [&] { return plugin->RegisterChannelSink(nullptr); }},
      {"UnregisterChannelSink", [&] { return plugin->UnregisterChannelSink(); }},
      {"ChannelConnect", [&] { return plugin->ChannelConnect(); }},
      {"ChannelDisconnect", [&] { return plugin->ChannelDisconnect(); }},
      {"WaitUntilReady", [&] { return plugin->WaitUntilReady(0); }},
      {"WaitForPendingMessages", [&] { return plugin->WaitForPendingMessages(0); }},
      {"WaitUntilReadyOrRejected", [&] { return plugin->WaitUntilReadyOrRejected(0) != 0; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(c.call());
    EXPECT_TRUE(Logged(*log, std::string(c.name) + " is not supported in streamData mode"));
  }
  EXPECT_TRUE(plugin->DestroyMessage(ctx));
  Drain();
  EXPECT_EQ(sim->KapSim_GetMessageCount(client), 0);
  // The channel is not the framework's any more: the exit leaves it alone.
  EXPECT_TRUE(manager->ServerExitForSession(161, plugin, false));
  EXPECT_EQ(Calls("Channel.v1.Disconnect"), 0u);
  EXPECT_EQ(Calls("Channel.v1.UnregisterChannelNotifySink"), 0u);
}

TEST_F(ChannelLogLines, MessageChannelAndServerIdTexts) {
  ASSERT_NO_FATAL_FAILURE(StartServers(162, 1));
  RCPtr<CountingPlugin> server = InstanceOf(clients[0]);
  MsgChannelHandle h = server->OpenMsgChannel("UsbTarnCtrl");
  ASSERT_NE(h, nullptr);
  EXPECT_TRUE(Logged(*log, "OpenMsgChannel succeed [h="));
  KAPService_MsgChannelInfo info;
  EXPECT_FALSE(server->GetMsgChannelInfo(h, &info));
  EXPECT_TRUE(log->Writer()->HasMessage("Please wait for OnMsgChannelReady.\n"));
  EXPECT_EQ(server->IsUniqueSerializedIdOwner("someone-else"), FALSE);
  EXPECT_TRUE(Logged(*log, "[someone-else] does not match 0x"));
}
