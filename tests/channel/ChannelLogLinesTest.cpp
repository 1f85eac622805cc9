// The framework's fixed log texts, with the behaviour each one reports.
#include <unistd.h>

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "ChannelTestSupport.h"
#include "channel/KAPServiceCommand.h"
#include "channel/SessionUtils.h"

using ChannelLogLines = LoggedChannelFixture;
LOGGED_AND_QUIET(ChannelLogLines);

TEST_P(ChannelLogLines, SideChannelConnectedWithoutRequestIsOnlyLogged) {
  ASSERT_NO_FATAL_FAILURE(StartAndConnect(160, KAPSIM_CLIENT_MANUAL_OBJECTS));
  ASSERT_TRUE(PumpUntil([&] { return sim->KapSim_ConnectObject(client, kControl) == TRUE; }));
  ASSERT_TRUE(PumpUntil([&] {
    return sim->KapSim_SetObjectState(client, kData, KAP_RPC_OBJ_SIDE_CHANNEL_CONNECTED) == TRUE;
  }));
  ASSERT_TRUE(PumpUntil(
      [&] { return HasLine("Side channel was not pending when connected was received.\n"); }));
  EXPECT_FALSE(plugin->IsReady());
}

// A discarded connection is never connected; registering on a connected channel connects
// at once.
TEST_P(ChannelLogLines, DiscardedConnectionAndRegisteringOnAConnectedChannel) {
  plugin->SetDiscardNewConnections(true);
  EXPECT_TRUE(plugin->GetDiscardNewConnections());
  ASSERT_NO_FATAL_FAILURE(StartAndConnect(155));
  ASSERT_TRUE(PumpUntil([&] { return HasLine("New connection discarded by request.\n"); }));
  Drain(200);
  EXPECT_EQ(Calls("Channel.v1.Connect"), 0u);
  EXPECT_FALSE(plugin->IsReady());
  EXPECT_NE(sim->KapSim_GetChannelState(client), KAP_SERVICE_CHAN_CONNECTED);

  plugin->SetDiscardNewConnections(false);
  ASSERT_TRUE(plugin->UnregisterChannelSink());
  EXPECT_EQ(Calls("Channel.v1.Connect"), 0u);
  ASSERT_TRUE(plugin->RegisterChannelSink(nullptr));
  EXPECT_TRUE(HasLine("Simulating connect callback\n"));
  EXPECT_GE(Calls("Channel.v1.Connect"), 1u);
  ASSERT_TRUE(PumpUntil([&] { return plugin->IsReady(); }));
  EXPECT_EQ(plugin->readyCount.load(), 1);
  EXPECT_TRUE(Logged("Channel object \"UsbRedirDataObj\" created with flags 0x31"));
  EXPECT_TRUE(Logged("Set session type of the channel to TALON SESSION"));

  // A connection up before any poll told the instance: a fresh registration notices it.
  Restart();
  ASSERT_NO_FATAL_FAILURE(StartAndConnect(157));
  ASSERT_TRUE(plugin->UnregisterChannelSink());
  EXPECT_EQ(Calls("Channel.v1.Connect"), 0u);
  ASSERT_TRUE(plugin->RegisterChannelSink(nullptr));
  EXPECT_GE(Calls("Channel.v1.Connect"), 1u);
  ASSERT_TRUE(PumpUntil([&] { return plugin->IsReady(); }));
  EXPECT_EQ(plugin->readyCount.load(), 1);
}

// Version 1 tables reach readiness and send, without post mode, options or timed poll.
TEST_P(ChannelLogLines, VersionOneTablesReachReadinessAndSendWithoutPostMode) {
  sim->KapSim_OfferVersion1Only();
  ASSERT_NO_FATAL_FAILURE(StartAndConnect(156, KAPSIM_CLIENT_DEFAULT, KAP_SERVICE_QUILL_SESSION));
  std::vector<QrEvent*> none;
  EXPECT_EQ(manager->PollWaitMultiple(none, false, 10, false), -2);
  ASSERT_TRUE(manager->WaitForEvent(&plugin->readyEvent, 5000));
  EXPECT_EQ(SessionUtils::GetSessionType(), KAP_SERVICE_NONE_SESSION);
  void* ctx = nullptr;
  EXPECT_FALSE(plugin->CreateExtMessage(&ctx, kDataChan, 4));
  uint32_t options = 0;
  EXPECT_FALSE(plugin->GetChannelOptions(kDataChan, &options));

  ASSERT_TRUE(plugin->CreateMessage(&ctx, kDataChan));
  PlainCommand command(plugin->ChannelContextInterface(), plugin->VariantInterface(), ctx);
  KAP_RPC_VARIANT v;
  memset(&v, 0, sizeof(v));
  EXPECT_FALSE(command.GetParam(0, &v));
  EXPECT_TRUE(HasLine("Index [0] out of range [0].\n"));
  EXPECT_TRUE(plugin->InvokeMessage(ctx, FALSE, kDataChan));
  EXPECT_TRUE(HasLine("Unable to set post mode for kapservice.\n"));
  EXPECT_TRUE(plugin->InvokeMessage(ctx, TRUE, kDataChan));
  EXPECT_TRUE(plugin->DestroyMessage(ctx));
  EXPECT_FALSE(plugin->WaitForPendingMessages(0));
  EXPECT_TRUE(Logged("1 message still pending"));
  manager->Poll(50);
  ASSERT_EQ(sim->KapSim_GetMessageCount(client), 2);
  KapSimMessage message;
  ASSERT_EQ(sim->KapSim_GetMessage(client, 0, &message), TRUE);
  EXPECT_EQ(message.postMode, FALSE);  // no way to ask for post mode before version 2
  EXPECT_EQ(message.completionWanted, FALSE);
}

// Once the channel is a file descriptor, every RPC operation refuses with its own name.
TEST_P(ChannelLogLines, StreamDataModeRefusesTheRpcOperations) {
  ASSERT_TRUE(manager->ServerInitForSession(161, plugin, 0));
  EXPECT_EQ(plugin->SwitchToStreamDataMode(), 0);  // no client yet
  EXPECT_TRUE(Logged("Switch to StreamData mode failed!"));
  ASSERT_NO_FATAL_FAILURE(Reconnect(161));
  ASSERT_TRUE(PumpUntil([&] { return plugin->IsReady(); }));
  void* ctx = nullptr;
  ASSERT_TRUE(plugin->CreateMessage(&ctx, kDataChan));

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
      {"InvokeMessage", [&] { return plugin->InvokeMessage(ctx, FALSE, kDataChan); }},
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
    EXPECT_TRUE(Logged(std::string(c.name) + " is not supported in streamData mode"));
  }
  EXPECT_TRUE(plugin->DestroyMessage(ctx));
  Drain();
  EXPECT_EQ(sim->KapSim_GetMessageCount(client), 0);
  // The channel is not the framework's any more: the exit leaves it alone.
  EXPECT_TRUE(manager->ServerExitForSession(161, plugin, false));
  EXPECT_EQ(Calls("Channel.v1.Disconnect"), 0u);
  EXPECT_EQ(Calls("Channel.v1.UnregisterChannelNotifySink"), 0u);
}

// Every library call that can fail, made to fail: the instance logs its text, answers as a
// failure and leaves nothing alive in the library.
TEST_P(ChannelLogLines, EveryFailingCallIsLoggedAndLeavesNothingBehind) {
  enum Step { kConnect, kCreate, kCreateExt, kDestroy, kGetOptions, kUnregister, kClientLeaves };
  struct Row {
    const char* fault;
    Step step;
    const char* text;  // a trace's exit line is "Exit - ..."; no line end
  };
  const Row rows[] = {
      {"Channel.v1.Connect", kConnect, "Exit - Channel.v1.Connect() failed"},
      {"ChannelObject.v1.CreateChannelObject", kConnect,
       "Exit - Failed to create channel object \"UsbRedirControlObj\""},
      {"ChannelObject.v3.GetObjectOptions", kConnect, "Obtain DataObj options failed "},
      {"ChannelObject.v1.CreateContext", kCreate,
       "Failed to create message (CreateContext failed)"},
      {"ChannelObject.v3.CreateContext", kCreateExt,
       "Failed to create message (CreateContext failed)"},
      {"ChannelObject.v1.DestroyContext", kDestroy,
       "Failed to destroy message (DestroyContext failed)"},
      {"ChannelObject.v3.GetObjectOptions", kGetOptions,
       "Failed to get channel options (GetObjectOptions failed)"},
      {"Channel.v1.UnregisterChannelNotifySink", kUnregister,
       "Exit - Channel.v1.UnregisterChannelNotifySink() failed"},
      {"ChannelObject.v1.DestroyChannelObject", kClientLeaves,
       "Exit - Failed to destroy channel object \"UsbRedirDataObj\""},
  };
  uint32_t session = 171;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.fault);
    Restart();
    if (log) log->Writer()->Clear();
    void* ctx = nullptr;
    uint32_t options = 0;
    if (row.step == kConnect) {
      ASSERT_TRUE(sim->KapSim_SetFault(row.fault, KAPSIM_FAULT_FAIL));
      ASSERT_NO_FATAL_FAILURE(StartAndConnect(session++));
    } else {
      ASSERT_NO_FATAL_FAILURE(StartReady(session++));
      ASSERT_TRUE(row.step != kDestroy || plugin->CreateMessage(&ctx, kDataChan));
      ASSERT_TRUE(sim->KapSim_SetFault(row.fault, KAPSIM_FAULT_FAIL));
    }
    switch (row.step) {
      case kCreate:
        EXPECT_FALSE(plugin->CreateMessage(&ctx, kDataChan));
        break;
      case kCreateExt:
        EXPECT_FALSE(plugin->CreateExtMessage(&ctx, kDataChan, 1));
        break;
      case kDestroy:
        EXPECT_FALSE(plugin->DestroyMessage(ctx));
        sim->KapSim_ResetFaults();
        EXPECT_TRUE(plugin->DestroyMessage(ctx));
        break;
      case kGetOptions:
        EXPECT_FALSE(plugin->GetChannelOptions(kDataChan, &options));
        break;
      case kUnregister:
        EXPECT_FALSE(plugin->UnregisterChannelSink());
        break;
      case kClientLeaves:
        ASSERT_EQ(sim->KapSim_DisconnectClient(client), TRUE);
        EXPECT_TRUE(PumpUntil([&] { return plugin->notReadyCount.load() == 1; }));
        break;
      default:
        break;
    }
    EXPECT_TRUE(PumpUntil([&] { return HasLine(row.text); })) << row.text;
  }
}
