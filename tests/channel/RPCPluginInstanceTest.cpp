#include <unistd.h>

#include "ChannelTestSupport.h"
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

constexpr uint32_t kNoSideChannelFlags = 0x31;

using RPCPluginInstanceChannel = ChannelFixture;

// Readiness alternates with the client leaving and coming back, and ends when the peer
// drops the data object.
TEST_F(RPCPluginInstanceChannel, ReadinessFollowsTheClientAndItsObjects) {
  StartReady(101);
  uint32_t flags = 0;
  for (const char* object : {kControl, kData}) {
    ASSERT_EQ(sim->KapSim_GetObjectFlags(client, object, &flags), TRUE);
    EXPECT_EQ(flags, kNoSideChannelFlags);
  }
  EXPECT_EQ(Calls("Channel.v1.Connect"), 1u);
  EXPECT_EQ(Calls("ChannelObject.v2.RequestSideChannel"), 0u);
  EXPECT_EQ(SessionUtils::GetSessionType(), KAP_SERVICE_TALON_SESSION);
  EXPECT_TRUE(plugin->WaitUntilReady(0));

  ASSERT_EQ(sim->KapSim_DisconnectClient(client), TRUE);
  ASSERT_TRUE(PumpUntil([&] { return !plugin->IsReady(); }));
  Drain();
  EXPECT_EQ(plugin->notReadyCount.load(), 1);
  EXPECT_EQ(SessionUtils::GetSessionType(), KAP_SERVICE_NONE_SESSION);
  EXPECT_EQ(Counters(sim).objects, before.objects);
  EXPECT_FALSE(plugin->WaitUntilReady(0));

  ASSERT_NO_FATAL_FAILURE(Reconnect(101, KAPSIM_CLIENT_DEFAULT, KAP_SERVICE_QUILL_SESSION));
  ASSERT_TRUE(PumpUntil([&] { return plugin->IsReady(); }));
  EXPECT_EQ(SessionUtils::GetSessionType(), KAP_SERVICE_QUILL_SESSION);
  EXPECT_EQ(plugin->readyCount.load(), 2);

  ASSERT_EQ(sim->KapSim_DisconnectObject(client, kData), TRUE);
  ASSERT_TRUE(PumpUntil([&] { return !plugin->IsReady(); }));
  EXPECT_EQ(plugin->notReadyCount.load(), 2);
  EXPECT_EQ(plugin->badEdges.load(), 0);
  void* ctx = nullptr;
  EXPECT_FALSE(plugin->CreateMessage(&ctx, kDataChan));
  EXPECT_FALSE(plugin->CreateMessage(&ctx, kControlChan));
}

// A rejection arrives as channel and connection down in one poll: the connection's notice
// must not hide it from the wait. Only the channel's notice leaves the reject event set.
TEST_F(RPCPluginInstanceChannel, ReadinessWaitAnswersReadyRejectedOrTimeout) {
  enum How { kClient, kNoClient, kChannelDown, kConnectionDown };
  struct Case {
    const char* what;
    How how;
    uint32_t options, ms;
    int rc, serverInits;
  };
  const Case cases[] = {
      {"accepted", kClient, KAPSIM_CLIENT_DEFAULT, 5000, 0, 1},
      {"rejected", kClient, KAPSIM_CLIENT_REJECT, 3000, 1, 0},
      {"no client", kNoClient, KAPSIM_CLIENT_DEFAULT, 150, -1, 0},
      {"channel down", kChannelDown, KAPSIM_CLIENT_DEFAULT, 0, 1, 0},
      {"connection down", kConnectionDown, KAPSIM_CLIENT_DEFAULT, 0, -1, 0},
  };
  uint32_t session = 131;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Restart();
    if (c.how == kNoClient) {
      ASSERT_TRUE(manager->ServerInitForSession(session++, plugin, 0));
    } else {
      ASSERT_NO_FATAL_FAILURE(StartAndConnect(session++, c.options));
    }
    if (c.how == kChannelDown || c.how == kConnectionDown) {
      // Connect requested; nothing is polled, so the channel never reports CONNECTED.
      RPCManagerTestPeer::ConnectionState(plugin, KAP_SERVICE_CONN_CONNECTED);
      if (c.how == kChannelDown) {
        RPCManagerTestPeer::ChannelState(plugin, KAP_SERVICE_CHAN_DISCONNECTED);
      } else {
        RPCManagerTestPeer::ConnectionState(plugin, KAP_SERVICE_CONN_DISCONNECTED);
      }
      EXPECT_EQ(plugin->rejectCount.load(), 1);
      // Another thread waits on the events without polling the library.
      int rc = 0;
      std::thread([&] { rc = plugin->WaitUntilReadyOrRejected(0); }).join();
      EXPECT_EQ(rc, c.rc);
      continue;
    }
    EXPECT_EQ(plugin->WaitUntilReadyOrRejected(c.ms), c.rc);
    EXPECT_EQ(manager->serverInitCount, c.serverInits);
    if (c.rc == 1) Drain(150);
    EXPECT_EQ(plugin->rejectCount.load(), c.rc == 1 ? 1 : 0);
    EXPECT_TRUE(c.rc != 1 || Calls("ChannelObject.v1.CreateChannelObject") == 0u);
    EXPECT_EQ(plugin->readyCount.load(), c.rc == 0 ? 1 : 0);
  }
}

// A refused side channel leaves the instance not ready and is not asked for again; a peer
// without side channels is not asked.
TEST_F(RPCPluginInstanceChannel, RefusedOrUnofferedSideChannel) {
  manager->wantVirtual = true;
  ASSERT_NO_FATAL_FAILURE(
      StartAndConnect(108, KAPSIM_CLIENT_SIDE_CHANNELS | KAPSIM_CLIENT_REFUSE_SIDE_CHANNEL));
  ASSERT_TRUE(PumpUntil([&] { return Calls("ChannelObject.v2.RequestSideChannel") > 0; }));
  Drain(300);
  EXPECT_FALSE(plugin->IsReady());
  EXPECT_EQ(plugin->readyCount.load(), 0);
  EXPECT_EQ(Calls("ChannelObject.v2.RequestSideChannel"), 1u);

  Restart();
  manager->wantVirtual = true;
  StartReady(110, KAPSIM_CLIENT_DEFAULT);
  EXPECT_EQ(Calls("ChannelObject.v2.RequestSideChannel"), 0u);
}

// The data object's flags follow the side channel, encryption and compression choices; the
// side-channel request carries the manager's token.
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
  const auto talon = KAP_SERVICE_TALON_SESSION;
  const auto quill = KAP_SERVICE_QUILL_SESSION;
  const Case cases[] = {
      {"tcp", true, false, false, talon, false, false, tcpObj, 0x2D, 2},
      {"tcp, no encryption", true, false, false, talon, true, false, tcpObj, 0x25, 2},
      {"tcp, no compression", true, false, false, talon, false, true, tcpObj, 0x29, 2},
      {"virtual", false, true, false, talon, false, false, kData, 0x15, 1},
      {"virtual, rivet not preferred", false, true, false, quill, false, false, kData, 0x15, 1},
      {"rivet", false, true, true, quill, false, false, kData, 0x5D, 3},
      {"rivet, neither", false, true, true, quill, true, true, kData, 0x51, 3},
      {"none, neither", false, false, false, talon, true, true, kData, kNoSideChannelFlags, 0},
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
    ASSERT_EQ(sim->KapSim_GetObjectFlags(client, kControl, &flags), TRUE);
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

using RPCPluginInstanceMessages = ChannelFixture;

// Post mode, completion, abort, failed invoke, unknown completion, lost object: each moves
// the pending count exactly once; the exit waits for what is left.
TEST_F(RPCPluginInstanceMessages, PendingCountFollowsEveryWayAMessageEnds) {
  StartReady(121);
  void* ctx = nullptr;
  ASSERT_TRUE(plugin->CreateExtMessage(&ctx, kDataChan, 0x4));
  PlainCommand command(plugin->ChannelContextInterface(), plugin->VariantInterface(), ctx);
  ASSERT_TRUE(command.SetCommand(7));
  ASSERT_TRUE(command.AddParam(static_cast<unsigned int>(3)));
  ASSERT_TRUE(command.AddParam("payload"));
  EXPECT_TRUE(plugin->InvokeMessage(ctx, FALSE, kDataChan));
  EXPECT_EQ(plugin->PendingMessageCount(), 0);
  EXPECT_TRUE(plugin->DestroyMessage(ctx));
  uint32_t options = 0;
  ASSERT_TRUE(plugin->GetChannelOptions(kDataChan, &options));
  EXPECT_EQ(options & 0x30u, 0x30u);
  EXPECT_FALSE(plugin->GetChannelOptions(kDataChan, nullptr));

  ASSERT_TRUE(Send(kControlChan, TRUE));
  EXPECT_EQ(plugin->PendingMessageCount(), 1);
  EXPECT_FALSE(plugin->WaitForPendingMessages(0));
  ASSERT_TRUE(PumpUntil([&] { return sim->KapSim_GetMessageCount(client) == 2; }));
  KapSimMessage message;
  ASSERT_EQ(sim->KapSim_GetMessage(client, 0, &message), TRUE);
  EXPECT_STREQ(message.objectName, kData);
  EXPECT_EQ(message.command, 7u);
  EXPECT_EQ(message.paramCount, 2);
  EXPECT_EQ(message.postMode, TRUE);
  EXPECT_EQ(message.completionWanted, FALSE);
  EXPECT_EQ(message.contextOptions, 0x4u);
  EXPECT_EQ(MessageParam(sim, client, 0, 1), "payload");
  ASSERT_EQ(sim->KapSim_GetMessage(client, 1, &message), TRUE);
  EXPECT_EQ(message.completionWanted, TRUE);
  EXPECT_EQ(message.postMode, FALSE);
  ASSERT_EQ(sim->KapSim_CompleteMessage(client, 1, 0, nullptr, 0), TRUE);
  ASSERT_TRUE(PumpUntil([&] { return plugin->doneIds.size() == 1; }));
  EXPECT_EQ(plugin->doneIds[0], message.requestId);
  EXPECT_TRUE(plugin->doneHadContext[0]);
  EXPECT_EQ(plugin->PendingMessageCount(), 0);
  EXPECT_TRUE(plugin->WaitForPendingMessages(0));

  // A completion nobody waits for reaches OnDone without a negative count.
  RPCManagerTestPeer::MsgDone(plugin, 12345);
  ASSERT_EQ(plugin->doneIds.size(), 2u);
  EXPECT_EQ(plugin->doneIds[1], 12345u);
  EXPECT_EQ(plugin->PendingMessageCount(), 0);
  // A failed invoke does not hold the count.
  ASSERT_EQ(sim->KapSim_SetFault("ChannelObject.v1.Invoke", KAPSIM_FAULT_FAIL), TRUE);
  EXPECT_FALSE(Send(kDataChan, TRUE));
  EXPECT_EQ(plugin->PendingMessageCount(), 0);
  sim->KapSim_ResetFaults();

  ASSERT_TRUE(Send(kDataChan, TRUE));
  ASSERT_TRUE(Send(kDataChan, TRUE));
  EXPECT_EQ(plugin->PendingMessageCount(), 2);
  ASSERT_TRUE(PumpUntil([&] { return sim->KapSim_GetMessageCount(client) == 4; }));
  ASSERT_EQ(sim->KapSim_AbortMessage(client, 2, TRUE, 42), TRUE);
  ASSERT_TRUE(PumpUntil([&] { return plugin->abortReasons.size() == 1; }));
  EXPECT_EQ(plugin->abortReasons[0], 42u);
  EXPECT_EQ(plugin->PendingMessageCount(), 1);
  auto start = Clock::now();
  EXPECT_FALSE(plugin->WaitForPendingMessages(150));
  EXPECT_GE(MsSince(start), 140);
  ASSERT_EQ(sim->KapSim_DisconnectObject(client, kData), TRUE);
  ASSERT_TRUE(PumpUntil([&] { return plugin->abortReasons.size() == 2; }));
  EXPECT_EQ(plugin->abortReasons[1], KAPSIM_ABORT_REASON_DISCONNECTED);
  EXPECT_EQ(plugin->PendingMessageCount(), 0);
  EXPECT_TRUE(plugin->WaitForPendingMessages(0));

  // The exit waits (about a second) for a message still pending.
  ASSERT_NO_FATAL_FAILURE(Reconnect(121));
  ASSERT_TRUE(PumpUntil([&] { return plugin->IsReady(); }));
  ASSERT_TRUE(Send(kControlChan, TRUE));
  EXPECT_EQ(plugin->PendingMessageCount(), 1);
  start = Clock::now();
  EXPECT_TRUE(manager->ServerExitForSession(121, plugin, false));
  int64_t ms = MsSince(start);
  EXPECT_GE(ms, 950);
  EXPECT_LT(ms, 4000);
}

// Host threads send while the session thread loses and regains the client: no sender may
// use a destroyed object, and nothing may leak.
TEST_F(RPCPluginInstanceMessages, SendersRaceWithObjectTeardown) {
  StartReady(129);
  std::atomic<bool> stop{false};
  std::atomic<int> sent{0};
  auto sender = [&] {
    while (!stop.load()) {
      if (Send(kDataChan, FALSE)) ++sent;
      std::this_thread::yield();
    }
  };
  std::thread a(sender), b(sender);
  struct StopAndJoin {
    std::atomic<bool>& stop;
    std::thread &a, &b;
    ~StopAndJoin() {
      stop.store(true);
      a.join();
      b.join();
    }
  } joiner{stop, a, b};
  for (int round = 0; round < 3; ++round) {
    ASSERT_EQ(sim->KapSim_DisconnectClient(client), TRUE);
    ASSERT_TRUE(PumpUntil([&] { return !plugin->IsReady(); }));
    ASSERT_NO_FATAL_FAILURE(Reconnect(129));
    ASSERT_TRUE(PumpUntil([&] { return plugin->IsReady(); }));
  }
  stop.store(true);
  Drain();
  EXPECT_GT(sent.load(), 0);
  EXPECT_EQ(plugin->badEdges.load(), 0);
  EXPECT_EQ(plugin->readyCount.load(), 4);
  EXPECT_EQ(plugin->notReadyCount.load(), 3);
}

using RPCPluginInstanceServers = LoggedChannelFixture;
LOGGED_AND_QUIET(RPCPluginInstanceServers);

// A message channel opens, names each writer by its id and token, and closes; a server's
// unique id belongs to it alone.
TEST_P(RPCPluginInstanceServers, MessageChannelsAndUniqueIds) {
  ASSERT_NO_FATAL_FAILURE(StartServers(170, 2));
  RCPtr<CountingPlugin> server = InstanceOf(clients[0]);
  RCPtr<CountingPlugin> other = InstanceOf(clients[1]);
  MsgChannelHandle h = server->OpenMsgChannel("UsbTarnCtrl");
  ASSERT_NE(h, nullptr);
  EXPECT_TRUE(Logged("OpenMsgChannel succeed [h="));
  EXPECT_FALSE(server->IsMsgChannelReady(h));
  KAPService_MsgChannelInfo info;
  EXPECT_FALSE(server->GetMsgChannelInfo(h, &info));  // not open yet
  EXPECT_TRUE(HasLine("Please wait for OnMsgChannelReady.\n"));
  ASSERT_TRUE(PumpUntil([&] { return server->IsMsgChannelReady(h); }));
  ASSERT_EQ(server->readyChannels.size(), 1u);
  EXPECT_EQ(server->readyChannels[0].first, h);
  EXPECT_EQ(server->readyChannels[0].second, "UsbTarnCtrl");
  ASSERT_TRUE(server->GetMsgChannelInfo(h, &info));
  EXPECT_EQ(info.serverPid, static_cast<int32_t>(getpid()));
  EXPECT_STREQ(info.serverToken, "UsbRedirection");

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
  EXPECT_EQ(Counters(sim).msgChannels, before.msgChannels);
  ASSERT_NE(other->OpenMsgChannel("LeftOpen"), nullptr);  // the session's end closes it

  int size = server->GetUniqueSerializedIdSize();
  ASSERT_GT(size, 1);
  std::string id(static_cast<size_t>(size), 'x');
  EXPECT_EQ(server->GetUniqueSerializedId(size - 1, &id[0]), FALSE);  // no room for it
  ASSERT_EQ(server->GetUniqueSerializedId(size, &id[0]), TRUE);
  EXPECT_EQ(server->IsUniqueSerializedIdOwner(id.c_str()), TRUE);
  EXPECT_EQ(other->IsUniqueSerializedIdOwner(id.c_str()), FALSE);
  EXPECT_EQ(server->IsUniqueSerializedIdOwner("someone-else"), FALSE);
  EXPECT_TRUE(Logged("[someone-else] does not match 0x"));
}

// Before a client connects (and in single-server mode: no server table) every message,
// message-channel and id operation refuses without touching the library.
TEST_P(RPCPluginInstanceServers, BeforeConnectionAndWithoutServerTableEverythingRefuses) {
  ASSERT_TRUE(manager->ServerInitForSession(120, plugin, 0));
  void* ctx = nullptr;
  EXPECT_FALSE(plugin->CreateMessage(&ctx, kDataChan));
  EXPECT_FALSE(plugin->CreateExtMessage(&ctx, kDataChan, 4));
  EXPECT_EQ(ctx, nullptr);
  EXPECT_EQ(Calls("ChannelObject.v1.CreateContext"), 0u);
  EXPECT_EQ(Calls("ChannelObject.v3.CreateContext"), 0u);
  EXPECT_TRUE(HasLine("Failed to create message (hChannel == NULL)"));
  uint32_t options = 0;
  EXPECT_FALSE(plugin->GetChannelOptions(kDataChan, &options));
  EXPECT_TRUE(HasLine("Failed to get channel options (hChannel == NULL)"));

  EXPECT_EQ(plugin->OpenMsgChannel("UsbTarnCtrl"), nullptr);
  EXPECT_EQ(plugin->GetUniqueSerializedIdSize(), 0);
  char id[64];
  EXPECT_EQ(plugin->GetUniqueSerializedId(sizeof(id), id), FALSE);
  EXPECT_EQ(plugin->IsUniqueSerializedIdOwner("x"), FALSE);
  KAPService_MsgChannelInfo info;
  EXPECT_FALSE(plugin->GetMsgChannelInfo(nullptr, &info));
}
