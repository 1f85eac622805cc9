#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "ChannelTestSupport.h"
#include "channel/KAPServiceCommand.h"
#include "channel/SessionUtils.h"

// Reaches the library callbacks that the stand-in cannot be made to send.
class RPCManagerTestPeer {
 public:
  static void MsgDone(RPCPluginInstance* instance, uint32_t id) {
    RPCManager::OnMsgDone(instance, id, nullptr);
  }
  static void ConnectionState(RPCPluginInstance* instance, KAPService_ConnectionState state) {
    RPCManager::OnConnectionStateChanged(instance, state, state, nullptr);
  }
  static void ChannelState(RPCPluginInstance* instance, KAPService_ChannelState state) {
    RPCManager::OnChannelStateChanged(instance, state, state, nullptr);
  }
};

namespace {

using Clock = std::chrono::steady_clock;

int64_t MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

const uint32_t kNoSideChannelFlags = 0x31;

}  // namespace

using RPCPluginInstanceChannel = ChannelFixture;

TEST_F(RPCPluginInstanceChannel, ClientConnectCreatesBothObjectsAndBecomesReady) {
  StartReady(101);
  uint32_t flags = 0;
  ASSERT_EQ(sim->KapSim_GetObjectFlags(client, ControlName(), &flags), TRUE);
  EXPECT_EQ(flags, kNoSideChannelFlags);
  ASSERT_EQ(sim->KapSim_GetObjectFlags(client, DataName(), &flags), TRUE);
  EXPECT_EQ(flags, kNoSideChannelFlags);
  EXPECT_EQ(plugin->readyCount.load(), 1);
  EXPECT_EQ(Calls("Channel.v1.Connect"), 1u);
  EXPECT_EQ(Calls("ChannelObject.v2.RequestSideChannel"), 0u);
  EXPECT_EQ(SessionUtils::GetSessionType(), KAP_SERVICE_TALON_SESSION);
  EXPECT_TRUE(plugin->WaitUntilReady(0));
}

TEST_F(RPCPluginInstanceChannel, ReadinessAlternatesAcrossDisconnectAndReconnect) {
  StartReady(102, KAPSIM_CLIENT_DEFAULT, KAP_SERVICE_QUILL_SESSION);
  EXPECT_EQ(SessionUtils::GetSessionType(), KAP_SERVICE_QUILL_SESSION);
  ASSERT_EQ(sim->KapSim_DisconnectClient(client), TRUE);
  ASSERT_TRUE(PumpUntil([&] { return !plugin->IsReady(); }));
  Drain();
  EXPECT_EQ(plugin->notReadyCount.load(), 1);
  EXPECT_EQ(SessionUtils::GetSessionType(), KAP_SERVICE_NONE_SESSION);
  KapSimCounters now;
  sim->KapSim_GetCounters(&now);
  EXPECT_EQ(now.objects, before.objects);
  EXPECT_FALSE(plugin->WaitUntilReady(0));

  sim->KapSim_DestroyClient(client);
  client = sim->KapSim_ConnectClient(102, KAPSIM_CLIENT_DEFAULT, KAP_SERVICE_TALON_SESSION);
  ASSERT_NE(client, nullptr);
  ASSERT_TRUE(PumpUntil([&] { return plugin->IsReady(); }));
  EXPECT_EQ(plugin->readyCount.load(), 2);
  EXPECT_EQ(plugin->badEdges.load(), 0);
}

TEST_F(RPCPluginInstanceChannel, PeerDroppingDataObjectEndsReadiness) {
  StartReady(103);
  ASSERT_EQ(sim->KapSim_DisconnectObject(client, DataName()), TRUE);
  ASSERT_TRUE(PumpUntil([&] { return !plugin->IsReady(); }));
  EXPECT_EQ(plugin->notReadyCount.load(), 1);
  void* ctx = nullptr;
  EXPECT_FALSE(plugin->CreateMessage(&ctx, RPCPluginInstance::RPC_CHANNEL_TYPE_DATA));
  EXPECT_FALSE(plugin->CreateMessage(&ctx, RPCPluginInstance::RPC_CHANNEL_TYPE_CONTROL));
}

TEST_F(RPCPluginInstanceChannel, DiscardedConnectionIsNeverConnected) {
  plugin->SetDiscardNewConnections(true);
  EXPECT_TRUE(plugin->GetDiscardNewConnections());
  ASSERT_NO_FATAL_FAILURE(StartAndConnect(104));
  Drain(200);
  EXPECT_EQ(Calls("Channel.v1.Connect"), 0u);
  EXPECT_FALSE(plugin->IsReady());
  EXPECT_NE(sim->KapSim_GetChannelState(client), KAP_SERVICE_CHAN_CONNECTED);
}

TEST_F(RPCPluginInstanceChannel, RegisteringOnConnectedChannelConnectsAtOnce) {
  ASSERT_TRUE(manager->ServerInitForSession(105, plugin, 0));
  EXPECT_TRUE(plugin->RegisterChannelSink(nullptr));  // already registered: no second sink
  EXPECT_EQ(Calls("Channel.v1.RegisterChannelNotifySink"), 1u);
  client = sim->KapSim_ConnectClient(105, KAPSIM_CLIENT_DEFAULT, KAP_SERVICE_TALON_SESSION);
  ASSERT_NE(client, nullptr);
  // The connection is up before any poll told the instance; a fresh registration must
  // notice it by itself.
  ASSERT_TRUE(plugin->UnregisterChannelSink());
  EXPECT_EQ(Calls("Channel.v1.Connect"), 0u);
  ASSERT_TRUE(plugin->RegisterChannelSink(nullptr));
  EXPECT_GE(Calls("Channel.v1.Connect"), 1u);
  ASSERT_TRUE(PumpUntil([&] { return plugin->IsReady(); }));
  EXPECT_EQ(plugin->readyCount.load(), 1);
}

TEST_F(RPCPluginInstanceChannel, RejectedConnectionIsReportedOnce) {
  ASSERT_NO_FATAL_FAILURE(StartAndConnect(106, KAPSIM_CLIENT_REJECT));
  ASSERT_TRUE(PumpUntil([&] { return plugin->rejectCount.load() > 0; }));
  Drain(150);
  EXPECT_EQ(plugin->rejectCount.load(), 1);
  EXPECT_EQ(plugin->readyCount.load(), 0);
  EXPECT_EQ(Calls("ChannelObject.v1.CreateChannelObject"), 0u);
}

// The stand-in reports a rejection as the channel and then the connection going down, both
// in one poll: the connection's notice must not hide the rejection from the wait.
TEST_F(RPCPluginInstanceChannel, ReadinessWaitAnswersReadyRejectedOrTimeout) {
  struct Case {
    const char* what;
    bool connect;
    uint32_t options;
    uint32_t ms;
    int rc;
    int serverInits;
  };
  const Case cases[] = {
      {"accepted", true, KAPSIM_CLIENT_DEFAULT, 5000, 0, 1},
      {"rejected", true, KAPSIM_CLIENT_REJECT, 3000, 1, 0},
      {"no client", false, KAPSIM_CLIENT_DEFAULT, 150, -1, 0},
  };
  uint32_t session = 131;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Restart();
    if (c.connect) {
      ASSERT_NO_FATAL_FAILURE(StartAndConnect(session++, c.options));
    } else {
      ASSERT_TRUE(manager->ServerInitForSession(session++, plugin, 0));
    }
    EXPECT_EQ(plugin->WaitUntilReadyOrRejected(c.ms), c.rc);
    EXPECT_EQ(manager->serverInitCount, c.serverInits);
    EXPECT_EQ(plugin->rejectCount.load(), c.rc == 1 ? 1 : 0);
  }
}

// A connect that ends before the channel ever connected is reported as rejected either way,
// but only the channel's own notice leaves the reject event set: the instance's disconnect
// on the connection's notice resets it.
TEST_F(RPCPluginInstanceChannel, ChannelDownLeavesRejectionConnectionDownDoesNot) {
  struct Case {
    const char* what;
    bool viaChannel;
    int rc;
  };
  const Case cases[] = {{"channel down", true, 1}, {"connection down", false, -1}};
  uint32_t session = 134;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Restart();
    ASSERT_NO_FATAL_FAILURE(StartAndConnect(session++));
    // Connect requested; nothing is polled, so the channel never reports CONNECTED.
    RPCManagerTestPeer::ConnectionState(plugin, KAP_SERVICE_CONN_CONNECTED);
    if (c.viaChannel) {
      RPCManagerTestPeer::ChannelState(plugin, KAP_SERVICE_CHAN_DISCONNECTED);
    } else {
      RPCManagerTestPeer::ConnectionState(plugin, KAP_SERVICE_CONN_DISCONNECTED);
    }
    EXPECT_EQ(plugin->rejectCount.load(), 1);
    // Another thread waits on the events without polling the library.
    int rc = 0;
    std::thread([&] { rc = plugin->WaitUntilReadyOrRejected(0); }).join();
    EXPECT_EQ(rc, c.rc);
  }
}

TEST_F(RPCPluginInstanceChannel, RefusedSideChannelLeavesInstanceNotReady) {
  manager->wantVirtual = true;
  ASSERT_NO_FATAL_FAILURE(
      StartAndConnect(108, KAPSIM_CLIENT_SIDE_CHANNELS | KAPSIM_CLIENT_REFUSE_SIDE_CHANNEL));
  ASSERT_TRUE(PumpUntil([&] { return Calls("ChannelObject.v2.RequestSideChannel") > 0; }));
  Drain(300);
  EXPECT_FALSE(plugin->IsReady());
  EXPECT_EQ(plugin->readyCount.load(), 0);
  // A failed request is not repeated on its own.
  EXPECT_EQ(Calls("ChannelObject.v2.RequestSideChannel"), 1u);
}

// The data object's flags follow the side channel wanted and the instance's encryption and
// compression choices; the side channel asked for carries the manager's token.
TEST_F(RPCPluginInstanceChannel, DataObjectFlagsAndSideChannelRequest) {
  struct Case {
    const char* what;
    bool tcp, virt, rivet;
    KAPService_SessionType type;
    bool noEncryption, noCompression;
    const char* object;
    uint32_t flags;
    int sideChannel;  // 0: none requested
  };
  const char* tcpObj = "UsbRedirDataObjTcp";
  const Case cases[] = {
      {"tcp", true, false, false, KAP_SERVICE_TALON_SESSION, false, false, tcpObj, 0x2D, 2},
      {"tcp, no encryption", true, false, false, KAP_SERVICE_TALON_SESSION, true, false, tcpObj,
       0x25, 2},
      {"tcp, no compression", true, false, false, KAP_SERVICE_TALON_SESSION, false, true, tcpObj,
       0x29, 2},
      {"virtual", false, true, false, KAP_SERVICE_TALON_SESSION, false, false, DataName(), 0x15, 1},
      {"virtual, rivet not preferred", false, true, false, KAP_SERVICE_QUILL_SESSION, false, false,
       DataName(), 0x15, 1},
      {"rivet", false, true, true, KAP_SERVICE_QUILL_SESSION, false, false, DataName(), 0x5D, 3},
      {"rivet, neither", false, true, true, KAP_SERVICE_QUILL_SESSION, true, true, DataName(), 0x51,
       3},
      {"none, neither", false, false, false, KAP_SERVICE_TALON_SESSION, true, true, DataName(),
       kNoSideChannelFlags, 0},
  };
  uint32_t session = 140;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Restart();
    manager->wantTcp = c.tcp;
    manager->wantVirtual = c.virt;
    manager->wantRivet = c.rivet;
    plugin->noEncryption = c.noEncryption;
    plugin->noCompression = c.noCompression;
    ASSERT_NO_FATAL_FAILURE(StartReady(session++, KAPSIM_CLIENT_SIDE_CHANNELS, c.type));
    uint32_t flags = 0;
    ASSERT_EQ(sim->KapSim_GetObjectFlags(client, c.object, &flags), TRUE);
    EXPECT_EQ(flags, c.flags);
    ASSERT_EQ(sim->KapSim_GetObjectFlags(client, ControlName(), &flags), TRUE);
    EXPECT_EQ(flags, kNoSideChannelFlags);
    KAPRPC_SideChannelType type = KAP_RPC_SIDE_CHANNEL_TYPE_TALON;
    char token[64] = {};
    Bool requested =
        sim->KapSim_GetSideChannelRequest(client, c.object, &type, token, sizeof(token));
    ASSERT_EQ(requested, c.sideChannel != 0 ? TRUE : FALSE);
    if (requested == TRUE) {
      EXPECT_EQ(static_cast<int>(type), c.sideChannel);
      EXPECT_STREQ(token, "UsbRedirection");
    }
  }
}

TEST_F(RPCPluginInstanceChannel, PeerWithoutSideChannelsNeedsNoRequest) {
  manager->wantVirtual = true;
  StartReady(110, KAPSIM_CLIENT_DEFAULT);
  EXPECT_EQ(Calls("ChannelObject.v2.RequestSideChannel"), 0u);
}

TEST_F(RPCPluginInstanceChannel, VersionOneTablesStillReachReadinessAndSend) {
  sim->KapSim_OfferVersion1Only();
  ASSERT_TRUE(manager->ServerInitForSession(111, plugin, 0));
  std::vector<QrEvent*> none;
  EXPECT_EQ(manager->PollWaitMultiple(none, false, 10, false), -2);
  client = sim->KapSim_ConnectClient(111, KAPSIM_CLIENT_DEFAULT, KAP_SERVICE_QUILL_SESSION);
  ASSERT_NE(client, nullptr);
  ASSERT_TRUE(manager->WaitForEvent(&plugin->readyEvent, 5000));
  EXPECT_EQ(SessionUtils::GetSessionType(), KAP_SERVICE_NONE_SESSION);

  void* ctx = nullptr;
  EXPECT_FALSE(plugin->CreateExtMessage(&ctx, RPCPluginInstance::RPC_CHANNEL_TYPE_DATA, 4));
  uint32_t options = 0;
  EXPECT_FALSE(plugin->GetChannelOptions(RPCPluginInstance::RPC_CHANNEL_TYPE_DATA, &options));
  ASSERT_TRUE(plugin->CreateMessage(&ctx, RPCPluginInstance::RPC_CHANNEL_TYPE_DATA));
  EXPECT_TRUE(plugin->InvokeMessage(ctx, FALSE, RPCPluginInstance::RPC_CHANNEL_TYPE_DATA));
  EXPECT_TRUE(plugin->DestroyMessage(ctx));
  manager->Poll(50);
  ASSERT_EQ(sim->KapSim_GetMessageCount(client), 1);
  KapSimMessage message;
  ASSERT_EQ(sim->KapSim_GetMessage(client, 0, &message), TRUE);
  EXPECT_EQ(message.postMode, FALSE);  // no way to ask for post mode before version 2
  EXPECT_EQ(message.completionWanted, FALSE);
}

using RPCPluginInstanceMessages = ChannelFixture;

TEST_F(RPCPluginInstanceMessages, CreateBeforeReadyDoesNotTouchTheLibrary) {
  ASSERT_TRUE(manager->ServerInitForSession(120, plugin, 0));
  void* ctx = nullptr;
  EXPECT_FALSE(plugin->CreateMessage(&ctx, RPCPluginInstance::RPC_CHANNEL_TYPE_DATA));
  EXPECT_FALSE(plugin->CreateExtMessage(&ctx, RPCPluginInstance::RPC_CHANNEL_TYPE_DATA, 4));
  EXPECT_EQ(ctx, nullptr);
  EXPECT_EQ(Calls("ChannelObject.v1.CreateContext"), 0u);
  EXPECT_EQ(Calls("ChannelObject.v3.CreateContext"), 0u);
}

TEST_F(RPCPluginInstanceMessages, OneWayPostReachesClientInPostMode) {
  StartReady(121);
  void* ctx = nullptr;
  ASSERT_TRUE(plugin->CreateMessage(&ctx, RPCPluginInstance::RPC_CHANNEL_TYPE_DATA));
  PlainCommand command(plugin->ChannelContextInterface(), plugin->VariantInterface(), ctx);
  ASSERT_TRUE(command.SetCommand(7));
  ASSERT_TRUE(command.AddParam(static_cast<unsigned int>(3)));
  ASSERT_TRUE(command.AddParam("payload"));
  EXPECT_TRUE(plugin->InvokeMessage(ctx, FALSE, RPCPluginInstance::RPC_CHANNEL_TYPE_DATA));
  EXPECT_EQ(plugin->PendingMessageCount(), 0);
  EXPECT_TRUE(plugin->DestroyMessage(ctx));

  ASSERT_TRUE(PumpUntil([&] { return sim->KapSim_GetMessageCount(client) == 1; }));
  KapSimMessage message;
  ASSERT_EQ(sim->KapSim_GetMessage(client, 0, &message), TRUE);
  EXPECT_STREQ(message.objectName, DataName());
  EXPECT_EQ(message.command, 7u);
  EXPECT_EQ(message.paramCount, 2);
  EXPECT_EQ(message.postMode, TRUE);
  EXPECT_EQ(message.completionWanted, FALSE);
  const char* name = nullptr;
  const KAP_RPC_VARIANT* value = nullptr;
  ASSERT_EQ(sim->KapSim_GetMessageParam(client, 0, 1, &name, &value), TRUE);
  ASSERT_EQ(value->vt, KAP_RPC_VT_LPSTR);
  EXPECT_STREQ(value->strVal, "payload");
}

TEST_F(RPCPluginInstanceMessages, CompletionLowersPendingCountAndReachesOnDone) {
  StartReady(122);
  void* ctx = nullptr;
  ASSERT_TRUE(plugin->CreateMessage(&ctx, RPCPluginInstance::RPC_CHANNEL_TYPE_CONTROL));
  ASSERT_TRUE(plugin->InvokeMessage(ctx, TRUE, RPCPluginInstance::RPC_CHANNEL_TYPE_CONTROL));
  EXPECT_TRUE(plugin->DestroyMessage(ctx));
  EXPECT_EQ(plugin->PendingMessageCount(), 1);
  EXPECT_FALSE(plugin->WaitForPendingMessages(0));

  ASSERT_TRUE(PumpUntil([&] { return sim->KapSim_GetMessageCount(client) == 1; }));
  KapSimMessage message;
  ASSERT_EQ(sim->KapSim_GetMessage(client, 0, &message), TRUE);
  EXPECT_EQ(message.completionWanted, TRUE);
  EXPECT_EQ(message.postMode, FALSE);
  ASSERT_EQ(sim->KapSim_CompleteMessage(client, 0, 0, nullptr, 0), TRUE);
  ASSERT_TRUE(PumpUntil([&] { return plugin->doneIds.size() == 1; }));
  EXPECT_EQ(plugin->doneIds[0], message.requestId);
  EXPECT_TRUE(plugin->doneHadContext[0]);
  EXPECT_EQ(plugin->PendingMessageCount(), 0);
  EXPECT_TRUE(plugin->WaitForPendingMessages(0));
}

TEST_F(RPCPluginInstanceMessages, AbortAndLostObjectEachEndOnePendingMessage) {
  StartReady(123);
  for (int i = 0; i < 2; ++i) {
    void* ctx = nullptr;
    ASSERT_TRUE(plugin->CreateMessage(&ctx, RPCPluginInstance::RPC_CHANNEL_TYPE_DATA));
    ASSERT_TRUE(plugin->InvokeMessage(ctx, TRUE, RPCPluginInstance::RPC_CHANNEL_TYPE_DATA));
    plugin->DestroyMessage(ctx);
  }
  EXPECT_EQ(plugin->PendingMessageCount(), 2);
  ASSERT_TRUE(PumpUntil([&] { return sim->KapSim_GetMessageCount(client) == 2; }));
  ASSERT_EQ(sim->KapSim_AbortMessage(client, 0, TRUE, 42), TRUE);
  ASSERT_TRUE(PumpUntil([&] { return plugin->abortIds.size() == 1; }));
  EXPECT_EQ(plugin->abortReasons[0], 42u);
  EXPECT_EQ(plugin->PendingMessageCount(), 1);

  ASSERT_EQ(sim->KapSim_DisconnectObject(client, DataName()), TRUE);
  ASSERT_TRUE(PumpUntil([&] { return plugin->abortIds.size() == 2; }));
  EXPECT_EQ(plugin->abortReasons[1], KAPSIM_ABORT_REASON_DISCONNECTED);
  EXPECT_EQ(plugin->PendingMessageCount(), 0);
  EXPECT_TRUE(plugin->WaitForPendingMessages(0));
}

TEST_F(RPCPluginInstanceMessages, FailedInvokeDoesNotHoldThePendingCount) {
  StartReady(124);
  ASSERT_EQ(sim->KapSim_SetFault("ChannelObject.v1.Invoke", KAPSIM_FAULT_FAIL), TRUE);
  void* ctx = nullptr;
  ASSERT_TRUE(plugin->CreateMessage(&ctx, RPCPluginInstance::RPC_CHANNEL_TYPE_DATA));
  EXPECT_FALSE(plugin->InvokeMessage(ctx, TRUE, RPCPluginInstance::RPC_CHANNEL_TYPE_DATA));
  EXPECT_TRUE(plugin->DestroyMessage(ctx));
  EXPECT_EQ(plugin->PendingMessageCount(), 0);
  EXPECT_TRUE(plugin->WaitForPendingMessages(0));
}

TEST_F(RPCPluginInstanceMessages, UnknownCompletionReachesOnDoneWithoutNegativeCount) {
  StartReady(125);
  RPCManagerTestPeer::MsgDone(plugin, 12345);
  ASSERT_EQ(plugin->doneIds.size(), 1u);
  EXPECT_EQ(plugin->doneIds[0], 12345u);
  EXPECT_EQ(plugin->PendingMessageCount(), 0);
  EXPECT_TRUE(plugin->WaitForPendingMessages(0));
  // The next real message counts from zero again.
  void* ctx = nullptr;
  ASSERT_TRUE(plugin->CreateMessage(&ctx, RPCPluginInstance::RPC_CHANNEL_TYPE_DATA));
  ASSERT_TRUE(plugin->InvokeMessage(ctx, TRUE, RPCPluginInstance::RPC_CHANNEL_TYPE_DATA));
  plugin->DestroyMessage(ctx);
  EXPECT_EQ(plugin->PendingMessageCount(), 1);
}

TEST_F(RPCPluginInstanceMessages, ContextOptionsAndChannelOptions) {
  StartReady(126);
  void* ctx = nullptr;
  ASSERT_TRUE(plugin->CreateExtMessage(&ctx, RPCPluginInstance::RPC_CHANNEL_TYPE_DATA, 0x4));
  ASSERT_TRUE(plugin->InvokeMessage(ctx, FALSE, RPCPluginInstance::RPC_CHANNEL_TYPE_DATA));
  plugin->DestroyMessage(ctx);
  ASSERT_TRUE(PumpUntil([&] { return sim->KapSim_GetMessageCount(client) == 1; }));
  KapSimMessage message;
  ASSERT_EQ(sim->KapSim_GetMessage(client, 0, &message), TRUE);
  EXPECT_EQ(message.contextOptions, 0x4u);

  uint32_t options = 0;
  ASSERT_TRUE(plugin->GetChannelOptions(RPCPluginInstance::RPC_CHANNEL_TYPE_DATA, &options));
  EXPECT_EQ(options & 0x30u, 0x30u);
  EXPECT_FALSE(plugin->GetChannelOptions(RPCPluginInstance::RPC_CHANNEL_TYPE_DATA, nullptr));
}

TEST_F(RPCPluginInstanceMessages, PendingWaitTimesOutAndExitWaitsForPendingMessages) {
  StartReady(127);
  void* ctx = nullptr;
  ASSERT_TRUE(plugin->CreateMessage(&ctx, RPCPluginInstance::RPC_CHANNEL_TYPE_DATA));
  ASSERT_TRUE(plugin->InvokeMessage(ctx, TRUE, RPCPluginInstance::RPC_CHANNEL_TYPE_DATA));
  plugin->DestroyMessage(ctx);
  auto start = Clock::now();
  EXPECT_FALSE(plugin->WaitForPendingMessages(150));
  int64_t ms = MsSince(start);
  EXPECT_GE(ms, 140);
  EXPECT_LT(ms, 2000);

  start = Clock::now();
  EXPECT_TRUE(manager->ServerExitForSession(127, plugin, false));
  ms = MsSince(start);
  EXPECT_GE(ms, 950);
  EXPECT_LT(ms, 4000);
}

TEST_F(RPCPluginInstanceMessages, IncomingRequestIsAnsweredWithAppendedReturnValues) {
  StartReady(128);
  int paramsSeen = -1;
  uint32_t first = 0;
  std::string text;
  std::string blob;
  plugin->onInvoke = [&](void* messageCtx) {
    PlainCommand command(plugin->ChannelContextInterface(), plugin->VariantInterface(), messageCtx);
    EXPECT_EQ(command.GetCommand(), 2u);
    paramsSeen = command.GetNumParams();
    KAP_RPC_VARIANT v;
    memset(&v, 0, sizeof(v));
    if (command.GetParam(0, &v)) {
      first = v.ulVal;
    }
    plugin->VariantInterface()->v1.VariantClear(&v);
    if (command.GetParam(1, &v) && v.vt == KAP_RPC_VT_LPSTR) {
      text = v.strVal;
    }
    plugin->VariantInterface()->v1.VariantClear(&v);
    if (command.GetParam(2, &v) && v.vt == KAP_RPC_VT_BLOB) {
      blob.assign(v.blobVal.blobData, v.blobVal.size);
    }
    plugin->VariantInterface()->v1.VariantClear(&v);
    EXPECT_FALSE(command.GetParam(3, &v));
    EXPECT_TRUE(command.AppendReturnVal(static_cast<unsigned int>(first + 1)));
    EXPECT_TRUE(command.AppendReturnVal("done"));
  };

  KapSimParam params[3];
  memset(params, 0, sizeof(params));
  params[0].value.vt = KAP_RPC_VT_UI4;
  params[0].value.ulVal = 41;
  params[1].value.vt = KAP_RPC_VT_LPSTR;
  params[1].value.strVal = const_cast<char*>("hello");
  char bytes[] = {'\x01', '\x00', '\x7f'};
  params[2].value.vt = KAP_RPC_VT_BLOB;
  params[2].value.blobVal.size = sizeof(bytes);
  params[2].value.blobVal.blobData = bytes;
  uint32_t requestId = 0;
  ASSERT_EQ(sim->KapSim_SendRequest(client, ControlName(), 2, params, 3, &requestId), TRUE);
  ASSERT_TRUE(PumpUntil([&] { return plugin->invokeCount.load() == 1; }));
  ASSERT_EQ(sim->KapSim_WaitRequest(client, requestId, 2000), KAPSIM_REQUEST_ANSWERED);

  EXPECT_EQ(paramsSeen, 3);
  EXPECT_EQ(first, 41u);
  EXPECT_EQ(text, "hello");
  EXPECT_EQ(blob, std::string(bytes, sizeof(bytes)));
  uint32_t returnCode = 0;
  int count = 0;
  ASSERT_EQ(sim->KapSim_GetReply(client, requestId, &returnCode, &count), TRUE);
  ASSERT_EQ(count, 2);
  const char* name = nullptr;
  const KAP_RPC_VARIANT* value = nullptr;
  ASSERT_EQ(sim->KapSim_GetReplyValue(client, requestId, 0, &name, &value), TRUE);
  EXPECT_EQ(value->vt, KAP_RPC_VT_UI4);
  EXPECT_EQ(value->ulVal, 42u);
  ASSERT_EQ(sim->KapSim_GetReplyValue(client, requestId, 1, &name, &value), TRUE);
  EXPECT_STREQ(value->strVal, "done");
}

// Host threads send while the session thread loses and regains the client: a sender must
// never use an object the session thread has destroyed, and nothing may leak.
TEST_F(RPCPluginInstanceMessages, SendersRaceWithObjectTeardown) {
  StartReady(129);
  std::atomic<bool> stop{false};
  std::atomic<int> sent{0};
  auto sender = [&] {
    while (!stop.load()) {
      void* ctx = nullptr;
      if (plugin->CreateMessage(&ctx, RPCPluginInstance::RPC_CHANNEL_TYPE_DATA)) {
        if (plugin->InvokeMessage(ctx, FALSE, RPCPluginInstance::RPC_CHANNEL_TYPE_DATA)) {
          ++sent;
        }
        plugin->DestroyMessage(ctx);
      } else {
        std::this_thread::yield();
      }
    }
  };
  std::thread a(sender);
  std::thread b(sender);
  struct StopAndJoin {
    std::atomic<bool>& stop;
    std::thread& a;
    std::thread& b;
    ~StopAndJoin() {
      stop.store(true);
      a.join();
      b.join();
    }
  } joiner{stop, a, b};
  for (int round = 0; round < 3; ++round) {
    ASSERT_EQ(sim->KapSim_DisconnectClient(client), TRUE);
    ASSERT_TRUE(PumpUntil([&] { return !plugin->IsReady(); }));
    sim->KapSim_DestroyClient(client);
    client = sim->KapSim_ConnectClient(129, KAPSIM_CLIENT_DEFAULT, KAP_SERVICE_TALON_SESSION);
    ASSERT_NE(client, nullptr);
    ASSERT_TRUE(PumpUntil([&] { return plugin->IsReady(); }));
  }
  stop.store(true);
  Drain();
  EXPECT_GT(sent.load(), 0);
  EXPECT_EQ(plugin->badEdges.load(), 0);
  EXPECT_EQ(plugin->readyCount.load(), 4);
  EXPECT_EQ(plugin->notReadyCount.load(), 3);
}

using RPCPluginInstanceServers = ChannelFixture;

TEST_F(RPCPluginInstanceServers, MessageChannelOpensNamesItsPeersAndCloses) {
  ASSERT_NO_FATAL_FAILURE(StartServers(170, 1));
  RCPtr<CountingPlugin> server = InstanceOf(clients[0]);
  MsgChannelHandle h = server->OpenMsgChannel("UsbTarnCtrl");
  ASSERT_NE(h, nullptr);
  EXPECT_FALSE(server->IsMsgChannelReady(h));
  KAPService_MsgChannelInfo info;
  EXPECT_FALSE(server->GetMsgChannelInfo(h, &info));  // not open yet
  ASSERT_TRUE(PumpUntil([&] { return server->IsMsgChannelReady(h); }));
  ASSERT_EQ(server->readyChannels.size(), 1u);
  EXPECT_EQ(server->readyChannels[0].first, h);
  EXPECT_EQ(server->readyChannels[0].second, "UsbTarnCtrl");
  ASSERT_TRUE(server->GetMsgChannelInfo(h, &info));
  EXPECT_EQ(info.serverPid, static_cast<int32_t>(getpid()));
  EXPECT_STREQ(info.serverToken, "UsbRedirection");

  // Two processes write; each is named by its own process id and token.
  ASSERT_EQ(sim->KapSim_SendToMsgChannel(clients[0], "UsbTarnCtrl", 4242, "tarn", "ab", 2), TRUE);
  ASSERT_EQ(sim->KapSim_SendToMsgChannel(clients[0], "UsbTarnCtrl", 4343, "other", "xyz", 3), TRUE);
  ASSERT_TRUE(PumpUntil([&] { return server->received.size() == 2; }));
  EXPECT_EQ(server->received[0].handle, h);
  EXPECT_EQ(server->received[0].bytes, "ab");
  EXPECT_EQ(server->received[1].bytes, "xyz");
  const int32_t pids[] = {4242, 4343};
  const char* tokens[] = {"tarn", "other"};
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(server->GetMsgChannelInfo(server->received[i].source, &info));
    EXPECT_EQ(info.serverPid, pids[i]);
    EXPECT_STREQ(info.serverToken, tokens[i]);
    EXPECT_STREQ(info.msgChannelName, "UsbTarnCtrl");
  }

  char note[] = "hi";
  EXPECT_TRUE(server->SendMsgToGroup(h, nullptr, note, 2));
  EXPECT_TRUE(server->CloseMsgChannel(h));
  EXPECT_FALSE(server->IsMsgChannelReady(h));
  EXPECT_FALSE(server->CloseMsgChannel(h));
  EXPECT_FALSE(server->SendMsgToGroup(h, nullptr, note, 2));
  KapSimCounters now;
  sim->KapSim_GetCounters(&now);
  EXPECT_EQ(now.msgChannels, before.msgChannels);
}

TEST_F(RPCPluginInstanceServers, UniqueIdBelongsToItsServerOnly) {
  ASSERT_NO_FATAL_FAILURE(StartServers(171, 2));
  RCPtr<CountingPlugin> a = InstanceOf(clients[0]);
  RCPtr<CountingPlugin> b = InstanceOf(clients[1]);
  int size = a->GetUniqueSerializedIdSize();
  ASSERT_GT(size, 1);
  std::string id(static_cast<size_t>(size), 'x');
  EXPECT_EQ(a->GetUniqueSerializedId(size - 1, &id[0]), FALSE);  // no room for it
  ASSERT_EQ(a->GetUniqueSerializedId(size, &id[0]), TRUE);
  EXPECT_EQ(a->IsUniqueSerializedIdOwner(id.c_str()), TRUE);
  EXPECT_EQ(b->IsUniqueSerializedIdOwner(id.c_str()), FALSE);
}

// Single-server mode has no server table: every message-channel and id operation answers
// nothing and touches nothing.
TEST_F(RPCPluginInstanceServers, WithoutServerTableEverythingRefuses) {
  ASSERT_TRUE(manager->ServerInitForSession(172, plugin, 0));
  EXPECT_EQ(plugin->OpenMsgChannel("UsbTarnCtrl"), nullptr);
  EXPECT_EQ(plugin->GetUniqueSerializedIdSize(), 0);
  char id[64];
  EXPECT_EQ(plugin->GetUniqueSerializedId(sizeof(id), id), FALSE);
  EXPECT_EQ(plugin->IsUniqueSerializedIdOwner("x"), FALSE);
  KAPService_MsgChannelInfo info;
  EXPECT_FALSE(plugin->GetMsgChannelInfo(nullptr, &info));
}
