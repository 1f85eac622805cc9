#include <unistd.h>

#include <cstdio>

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

using RPCPluginInstanceChannel = ChannelFixture;
INSTANTIATE_TEST_SUITE_P(Quiet, RPCPluginInstanceChannel, ::testing::Values(false));
using RPCPluginInstanceLogged = ChannelFixture;
LOGGED_AND_QUIET(RPCPluginInstanceLogged);

// A rejection is channel and connection down in one poll; only the channel's notice sets it.
TEST_P(RPCPluginInstanceChannel, ReadinessWaitAnswersReadyRejectedOrTimeout) {
  enum How { kClient, kChannelDown, kConnectionDown };
  const struct {
    const char* what;
    How how;
    uint32_t options, ms;
    int rc, serverInits;
  } cases[] = {
      {"accepted", kClient, KAPSIM_CLIENT_DEFAULT, 5000, 0, 1},
      {"rejected", kClient, KAPSIM_CLIENT_REJECT, 3000, 1, 0},
      {"channel down", kChannelDown, KAPSIM_CLIENT_DEFAULT, 0, 1, 0},
      {"connection down", kConnectionDown, KAPSIM_CLIENT_DEFAULT, 0, -1, 0},
  };
  uint32_t session = 131;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Restart();
    ASSERT_NO_FATAL_FAILURE(StartAndConnect(session++, c.options));
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
      std::thread([&] { EXPECT_EQ(plugin->WaitUntilReadyOrRejected(0), c.rc); }).join();
      continue;
    }
    EXPECT_EQ(plugin->WaitUntilReadyOrRejected(c.ms), c.rc);
    EXPECT_EQ(manager->serverInits, c.serverInits);
    if (c.rc == 1) Drain(150);
    EXPECT_EQ(plugin->rejectCount.load(), c.rc == 1 ? 1 : 0);
    EXPECT_TRUE(c.rc != 1 || Calls("ChannelObject.v1.CreateChannelObject") == 0u);
    EXPECT_EQ(plugin->readyCount.load(), c.rc == 0 ? 1 : 0);
  }
}

TEST_P(RPCPluginInstanceChannel, DataObjectFlagsAndSideChannelRequest) {
  const auto talon = KAP_SERVICE_TALON_SESSION, quill = KAP_SERVICE_QUILL_SESSION;
  const uint32_t offer = KAPSIM_CLIENT_SIDE_CHANNELS;
  const uint32_t refuse = offer | KAPSIM_CLIENT_REFUSE_SIDE_CHANNEL;
  enum Side { kNone, kTcp, kVirtual, kRivet };
  // "<data flags> <control flags> <side-channel requests>" in hex, then the request's type, token.
  const struct {
    const char* what;
    Side side;
    KAPService_SessionType type;
    bool noEncryption, noCompression;
    uint32_t clientOptions;
    const char* expected;
  } cases[] = {
      {"tcp", kTcp, talon, false, false, offer, "2D 31 1 2 UsbRedirection"},
      {"tcp, no encryption", kTcp, talon, true, false, offer, "25 31 1 2 UsbRedirection"},
      {"virtual", kVirtual, talon, false, false, offer, "15 31 1 1 UsbRedirection"},
      {"virtual on quill", kVirtual, quill, false, false, offer, "15 31 1 1 UsbRedirection"},
      {"rivet", kRivet, quill, false, false, offer, "5D 31 1 3 UsbRedirection"},
      {"rivet, neither", kRivet, quill, true, true, offer, "51 31 1 3 UsbRedirection"},
      {"none, neither", kNone, talon, true, true, offer, "31 31 0"},
      {"virtual, none offered", kVirtual, talon, false, false, KAPSIM_CLIENT_DEFAULT, "15 31 0"},
      {"virtual, refused", kVirtual, talon, false, false, refuse, "15 31 1 1 UsbRedirection"},
  };
  uint32_t session = 140;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Restart();
    manager->wantTcp = c.side == kTcp;
    manager->wantVirtual = c.side >= kVirtual;
    manager->wantRivet = c.side == kRivet;
    const char* object = c.side == kTcp ? "UsbRedirDataObjTcp" : kData;
    plugin->noEncryption = c.noEncryption;
    plugin->noCompression = c.noCompression;
    if (c.clientOptions != refuse) {
      ASSERT_NO_FATAL_FAILURE(StartReady(session++, c.clientOptions, c.type));
    } else {
      ASSERT_NO_FATAL_FAILURE(StartAndConnect(session++, c.clientOptions, c.type));
      ASSERT_TRUE(PumpUntil([&] { return Calls("ChannelObject.v2.RequestSideChannel") > 0; }));
      Drain(300);
      EXPECT_FALSE(plugin->IsReady());
      EXPECT_EQ(plugin->readyCount.load(), 0);
    }
    uint32_t flags = 0, controlFlags = 0;
    KAPRPC_SideChannelType type = KAP_RPC_SIDE_CHANNEL_TYPE_TALON;
    char token[64] = {}, got[160];
    ASSERT_EQ(sim->KapSim_GetObjectFlags(client, object, &flags), TRUE);
    ASSERT_EQ(sim->KapSim_GetObjectFlags(client, kControl, &controlFlags), TRUE);
    int n = snprintf(got, sizeof(got), "%X %X %X", flags, controlFlags,
                     static_cast<unsigned>(Calls("ChannelObject.v2.RequestSideChannel")));
    if (sim->KapSim_GetSideChannelRequest(client, object, &type, token, sizeof(token))) {
      snprintf(got + n, sizeof(got) - n, " %d %s", static_cast<int>(type), token);
    }
    EXPECT_STREQ(got, c.expected);
  }
}

// Sends racing the objects' teardown: MultiServerSession.ServersComeAndGoWhileHostThreadsSend.
TEST_P(RPCPluginInstanceChannel, ReadinessAndPendingCountFollowTheClientAndEveryWayAMessageEnds) {
  StartReady(121);
  EXPECT_EQ(Calls("Channel.v1.Connect"), 1u);
  EXPECT_EQ(SessionUtils::GetSessionType(), KAP_SERVICE_TALON_SESSION);
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

  ASSERT_TRUE(Send(kControlChan));
  EXPECT_EQ(plugin->PendingMessageCount(), 1);
  ASSERT_TRUE(PumpUntil([&] { return sim->KapSim_GetMessageCount(client) == 2; }));
  EXPECT_EQ(sim->Message(client, 0), "UsbRedirDataObj 7 post=1 done=0 opts=4: 3 payload");
  EXPECT_EQ(sim->Message(client, 1), "UsbRedirControlObj 0 post=0 done=1 opts=0:");
  KapSimMessage m;
  ASSERT_EQ(sim->KapSim_GetMessage(client, 1, &m), TRUE);
  ASSERT_EQ(sim->KapSim_CompleteMessage(client, 1, 0, nullptr, 0), TRUE);
  ASSERT_TRUE(PumpUntil([&] { return plugin->doneIds.size() == 1; }));
  EXPECT_EQ(plugin->PendingMessageCount(), 0);

  RPCManagerTestPeer::MsgDone(plugin, 12345);
  EXPECT_EQ(plugin->doneIds, std::vector<uint32_t>({m.requestId, ~12345u}));
  EXPECT_EQ(plugin->PendingMessageCount(), 0);
  ASSERT_EQ(sim->KapSim_SetFault("ChannelObject.v1.Invoke", KAPSIM_FAULT_FAIL), TRUE);
  EXPECT_FALSE(Send(kDataChan));
  EXPECT_EQ(plugin->PendingMessageCount(), 0);
  sim->KapSim_ResetFaults();

  ASSERT_TRUE(Send(kDataChan));
  ASSERT_TRUE(Send(kDataChan));
  EXPECT_EQ(plugin->PendingMessageCount(), 2);
  ASSERT_TRUE(PumpUntil([&] { return sim->KapSim_GetMessageCount(client) == 4; }));
  ASSERT_EQ(sim->KapSim_AbortMessage(client, 2, TRUE, 42), TRUE);
  ASSERT_TRUE(PumpUntil([&] { return plugin->abortReasons.size() == 1; }));
  EXPECT_EQ(plugin->PendingMessageCount(), 1);
  EXPECT_GE(MsTaken([&] { EXPECT_FALSE(plugin->WaitForPendingMessages(150)); }), 140);
  ASSERT_EQ(sim->KapSim_DisconnectObject(client, kData), TRUE);
  ASSERT_TRUE(PumpUntil([&] { return plugin->abortReasons.size() == 2 && !plugin->IsReady(); }));
  EXPECT_EQ(plugin->abortReasons, std::vector<uint32_t>({42, KAPSIM_ABORT_REASON_DISCONNECTED}));
  EXPECT_EQ(plugin->PendingMessageCount(), 0);
  EXPECT_TRUE(plugin->WaitForPendingMessages(0));
  EXPECT_FALSE(plugin->CreateMessage(&ctx, kDataChan));
  EXPECT_FALSE(plugin->CreateMessage(&ctx, kControlChan));

  ASSERT_NO_FATAL_FAILURE(Reconnect(121));
  ASSERT_TRUE(PumpUntil([&] { return plugin->IsReady(); }));
  ASSERT_EQ(sim->KapSim_DisconnectClient(client), TRUE);
  ASSERT_TRUE(
      PumpUntil([&] { return !plugin->IsReady() && sim->Counters().objects == before.objects; }));
  EXPECT_EQ(SessionUtils::GetSessionType(), KAP_SERVICE_NONE_SESSION);
  EXPECT_FALSE(plugin->WaitUntilReady(0));
  EXPECT_EQ(plugin->readyCount.load(), 2);
  EXPECT_EQ(plugin->notReadyCount.load(), 2);
  EXPECT_EQ(plugin->badEdges.load(), 0);

  // The exit waits about a second for a message still pending.
  ASSERT_NO_FATAL_FAILURE(Reconnect(121));
  ASSERT_TRUE(PumpUntil([&] { return plugin->IsReady(); }));
  ASSERT_TRUE(Send(kControlChan));
  EXPECT_EQ(plugin->PendingMessageCount(), 1);
  int64_t waited = MsTaken([&] { EXPECT_TRUE(manager->ServerExitForSession(121, plugin, false)); });
  EXPECT_GE(waited, 950);
  EXPECT_LT(waited, 4000);
  EXPECT_EQ(Calls("Channel.v1.Disconnect"), 1u);
  EXPECT_EQ(Calls("Channel.v1.UnregisterChannelNotifySink"), 1u);
  EXPECT_FALSE(plugin->IsReady());
}

TEST_P(RPCPluginInstanceLogged, MessageChannelsUniqueIdsAndServersOfTheirOwn) {
  ASSERT_NO_FATAL_FAILURE(StartServers(170, 2));
  RCPtr<CountingPlugin> server = InstanceOf(clients[0]);
  RCPtr<CountingPlugin> other = InstanceOf(clients[1]);
  // A writer as "<pid> <token> <channel>", or "<none>" when the instance knows none.
  auto Info = [&](MsgChannelHandle handle) {
    KAPService_MsgChannelInfo info;
    return !server->GetMsgChannelInfo(handle, &info)
               ? std::string("<none>")
               : std::to_string(info.serverPid) + " " + info.serverToken + " " +
                     info.msgChannelName;
  };
  MsgChannelHandle h = server->OpenMsgChannel("UsbTarnCtrl");
  ASSERT_NE(h, nullptr);
  EXPECT_TRUE(Logged("OpenMsgChannel succeed [h="));
  EXPECT_FALSE(server->IsMsgChannelReady(h));
  EXPECT_EQ(Info(h), "<none>");  // not open yet
  EXPECT_TRUE(Logged("Please wait for OnMsgChannelReady."));
  ASSERT_TRUE(PumpUntil([&] { return server->IsMsgChannelReady(h); }));
  EXPECT_EQ(server->readyChannels, decltype(server->readyChannels)({{h, "UsbTarnCtrl"}}));
  EXPECT_EQ(Info(h), std::to_string(getpid()) + " UsbRedirection UsbTarnCtrl");
  ASSERT_EQ(sim->KapSim_SendToMsgChannel(clients[0], "UsbTarnCtrl", 4242, "tarn", "ab", 2), TRUE);
  ASSERT_EQ(sim->KapSim_SendToMsgChannel(clients[0], "UsbTarnCtrl", 4343, "other", "xyz", 3), TRUE);
  ASSERT_TRUE(PumpUntil([&] { return server->received.size() == 2; }));
  EXPECT_EQ(Info(server->received[0].first) + "|" + server->received[0].second + "|" +
                Info(server->received[1].first) + "|" + server->received[1].second,
            "4242 tarn UsbTarnCtrl|ab|4343 other UsbTarnCtrl|xyz");

  char note[] = "hi";
  EXPECT_TRUE(server->SendMsgToGroup(h, nullptr, note, 2));
  EXPECT_TRUE(server->CloseMsgChannel(h));
  EXPECT_FALSE(server->IsMsgChannelReady(h));
  EXPECT_FALSE(server->CloseMsgChannel(h));
  EXPECT_FALSE(server->SendMsgToGroup(h, nullptr, note, 2));
  EXPECT_EQ(sim->Counters().msgChannels, before.msgChannels);
  ASSERT_NE(other->OpenMsgChannel("LeftOpen"), nullptr);  // its server's end closes it

  int size = server->GetUniqueSerializedIdSize();
  ASSERT_GT(size, 1);
  std::string id(static_cast<size_t>(size), 'x');
  EXPECT_EQ(server->GetUniqueSerializedId(size - 1, &id[0]), FALSE);  // no room for it
  ASSERT_EQ(server->GetUniqueSerializedId(size, &id[0]), TRUE);
  EXPECT_EQ(server->IsUniqueSerializedIdOwner(id.c_str()), TRUE);
  EXPECT_EQ(other->IsUniqueSerializedIdOwner(id.c_str()), FALSE);
  EXPECT_EQ(server->IsUniqueSerializedIdOwner("someone-else"), FALSE);
  EXPECT_TRUE(Logged("[someone-else] does not match 0x"));

  // Servers stopped one by one or all at once; those left must not keep the manager alive.
  KapServerID first = sim->KapSim_GetClientServer(clients[0]);
  KapServerID second = sim->KapSim_GetClientServer(clients[1]);
  EXPECT_EQ(server->GetServerId(), first);
  EXPECT_TRUE(manager->StartServer(second));
  EXPECT_TRUE(manager->StopServer(first));
  ASSERT_TRUE(PumpUntil([&] { return manager->serversDisconnected == 1; }));
  EXPECT_TRUE(PumpUntil([&] { return server->notReadyCount.load() == 1; }));
  EXPECT_EQ(RPCManager::GetInstanceByServerId(first).Ptr(), nullptr);
  EXPECT_EQ(RPCManager::GetRPCManagerByServerId(first).Ptr(), nullptr);
  EXPECT_TRUE(other->IsReady());
  EXPECT_TRUE(manager->StopAllServers(second));
  ASSERT_TRUE(PumpUntil([&] { return manager->serversDisconnected == 2; }));
  ASSERT_NO_FATAL_FAILURE(Reconnect(170));
  ASSERT_TRUE(PumpUntil([&] { return InstanceOf(client) && InstanceOf(client)->IsReady(); }));
  KapServerID third = sim->KapSim_GetClientServer(client);
  EXPECT_TRUE(manager->MultiServerExit(170, nullptr));
  multiServer = false;
  EXPECT_EQ(RPCManager::GetRPCManagerByServerId(third).Ptr(), nullptr);
  EXPECT_EQ(manager->RefCount(), 1);
  EXPECT_EQ(sim->KapSim_GetClientServer(client), nullptr);
}

TEST_P(RPCPluginInstanceLogged, SideChannelConnectedWithoutRequestIsOnlyLogged) {
  ASSERT_NO_FATAL_FAILURE(StartAndConnect(160, KAPSIM_CLIENT_MANUAL_OBJECTS));
  ASSERT_TRUE(PumpUntil([&] { return sim->KapSim_ConnectObject(client, kControl) == TRUE; }));
  ASSERT_TRUE(PumpUntil([&] {
    return sim->KapSim_SetObjectState(client, kData, KAP_RPC_OBJ_SIDE_CHANNEL_CONNECTED) == TRUE;
  }));
  EXPECT_TRUE(PumpUntil(
      [&] { return Logged("Side channel was not pending when connected was received."); }));
  Drain();
  EXPECT_FALSE(plugin->IsReady());
}

TEST_P(RPCPluginInstanceLogged, DiscardedConnectionAndRegisteringOnAConnectedChannel) {
  plugin->SetDiscardNewConnections(true);
  EXPECT_TRUE(plugin->GetDiscardNewConnections());
  ASSERT_NO_FATAL_FAILURE(StartAndConnect(155));
  EXPECT_TRUE(PumpUntil([&] { return Logged("New connection discarded by request."); }));
  Drain(200);
  EXPECT_EQ(Calls("Channel.v1.Connect"), 0u);
  EXPECT_NE(sim->KapSim_GetChannelState(client), KAP_SERVICE_CHAN_CONNECTED);
  plugin->SetDiscardNewConnections(false);

  // Connected but not yet told (157) or discarded (155): a fresh registration notices it.
  for (uint32_t session : {155, 157}) {
    SCOPED_TRACE(session);
    if (session == 157) {
      Restart();
      ASSERT_NO_FATAL_FAILURE(StartAndConnect(session));
    }
    ASSERT_TRUE(plugin->UnregisterChannelSink());
    EXPECT_EQ(Calls("Channel.v1.Connect"), 0u);
    ASSERT_TRUE(plugin->RegisterChannelSink(nullptr));
    EXPECT_TRUE(Logged("Simulating connect callback"));
    EXPECT_GE(Calls("Channel.v1.Connect"), 1u);
    ASSERT_TRUE(PumpUntil([&] { return plugin->IsReady(); }));
    EXPECT_EQ(plugin->readyCount.load(), 1);
  }
  EXPECT_TRUE(Logged("Channel object \"UsbRedirDataObj\" created with flags 0x31"));
  EXPECT_TRUE(Logged("Set session type of the channel to TALON SESSION"));
}

TEST_P(RPCPluginInstanceLogged, VersionOneTablesReachReadinessAndSendWithoutPostMode) {
  sim->KapSim_OfferVersion1Only();
  ASSERT_NO_FATAL_FAILURE(StartAndConnect(156, KAPSIM_CLIENT_DEFAULT, KAP_SERVICE_QUILL_SESSION));
  std::thread([&] {
    EXPECT_LT(MsTaken([&] { EXPECT_EQ(manager->WaitMultiple(noEvents, false, 500, false), -2); }),
              400);
  }).join();
  EXPECT_TRUE(Logged("Called with empty QrEvents vector on different thread: m_hInitThreadId(0x"));
  ASSERT_TRUE(plugin->WaitUntilReady(5000));
  EXPECT_EQ(SessionUtils::GetSessionType(), KAP_SERVICE_NONE_SESSION);
  void* ctx = nullptr;
  EXPECT_FALSE(plugin->CreateExtMessage(&ctx, kDataChan, 4));
  uint32_t options = 0;
  EXPECT_FALSE(plugin->GetChannelOptions(kDataChan, &options));

  ASSERT_TRUE(plugin->CreateMessage(&ctx, kDataChan));
  PlainCommand command(plugin->ChannelContextInterface(), plugin->VariantInterface(), ctx);
  KAP_RPC_VARIANT v{};
  EXPECT_FALSE(command.GetParam(0, &v));
  EXPECT_TRUE(Logged("Index [0] out of range [0]."));
  EXPECT_TRUE(plugin->InvokeMessage(ctx, FALSE, kDataChan));
  EXPECT_TRUE(Logged("Unable to set post mode for kapservice."));
  EXPECT_TRUE(plugin->InvokeMessage(ctx, TRUE, kDataChan));
  EXPECT_TRUE(plugin->DestroyMessage(ctx));
  EXPECT_FALSE(plugin->WaitForPendingMessages(0));
  EXPECT_TRUE(Logged("1 message still pending"));
  manager->Poll(50);
  ASSERT_EQ(sim->KapSim_GetMessageCount(client), 2);
  EXPECT_EQ(sim->Message(client, 0), "UsbRedirDataObj 0 post=0 done=0 opts=0:");
}

// Single-server mode has no server table: no message channels and no ids.
TEST_P(RPCPluginInstanceLogged, RefusalsBeforeConnectionAndInStreamDataMode) {
  ASSERT_TRUE(manager->ServerInitForSession(161, plugin, 0));
  void* ctx = nullptr;
  EXPECT_FALSE(plugin->CreateMessage(&ctx, kDataChan));
  EXPECT_FALSE(plugin->CreateExtMessage(&ctx, kDataChan, 4));
  EXPECT_EQ(ctx, nullptr);
  EXPECT_EQ(Calls("ChannelObject.v1.CreateContext") + Calls("ChannelObject.v3.CreateContext"), 0u);
  EXPECT_TRUE(Logged("Failed to create message (hChannel == NULL)"));
  uint32_t options = 0;
  EXPECT_FALSE(plugin->GetChannelOptions(kDataChan, &options));
  EXPECT_TRUE(Logged("Failed to get channel options (hChannel == NULL)"));
  EXPECT_EQ(plugin->OpenMsgChannel("UsbTarnCtrl"), nullptr);
  EXPECT_EQ(plugin->GetUniqueSerializedIdSize(), 0);
  char id[64];
  EXPECT_EQ(plugin->GetUniqueSerializedId(sizeof(id), id), FALSE);
  EXPECT_EQ(plugin->IsUniqueSerializedIdOwner("x"), FALSE);
  KAPService_MsgChannelInfo info;
  EXPECT_FALSE(plugin->GetMsgChannelInfo(nullptr, &info));
  EXPECT_EQ(plugin->SwitchToStreamDataMode(), 0);
  EXPECT_TRUE(Logged("Switch to StreamData mode failed!"));

  ASSERT_NO_FATAL_FAILURE(Reconnect(161));
  ASSERT_TRUE(PumpUntil([&] { return plugin->IsReady(); }));
  ASSERT_TRUE(plugin->CreateMessage(&ctx, kDataChan));
  int fd = plugin->SwitchToStreamDataMode();
  ASSERT_GT(fd, 0);
  EXPECT_TRUE(plugin->InStreamDataMode());
  char bytes[4] = {};
  ASSERT_EQ(write(sim->KapSim_GetStreamDataPeer(client), "urb", 3), 3);
  EXPECT_EQ(read(fd, bytes, sizeof(bytes)), 3);
  close(fd);
  const struct {
    const char* name;
    std::function<bool()> call;
  } cases[] = {
      {"InvokeMessage", [&] { return plugin->InvokeMessage(ctx, FALSE, kDataChan); }},
      {"RegisterChannelSink", [&] { return plugin->RegisterChannelSink(nullptr); }},
      {"UnregisterChannelSink", [&] { return plugin->UnregisterChannelSink(); }},
      {"ChannelConnect", [&] { return plugin->ChannelConnect(); }},
      {"ChannelDisconnect", [&] { return plugin->ChannelDisconnect(); }},
      {"WaitUntilReady", [&] { return plugin->WaitUntilReady(0); }},
      {"WaitForPendingMessages", [&] { return plugin->WaitForPendingMessages(0); }},
      {"WaitUntilReadyOrRejected", [&] { return plugin->WaitUntilReadyOrRejected(0) != 0; }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(c.call());
    EXPECT_TRUE(Logged(std::string(c.name) + " is not supported in streamData mode"));
  }
  EXPECT_TRUE(plugin->DestroyMessage(ctx));
  Drain();
  EXPECT_EQ(sim->KapSim_GetMessageCount(client), 0);
  EXPECT_TRUE(manager->ServerExitForSession(161, plugin, false));
  EXPECT_EQ(Calls("Channel.v1.Disconnect") + Calls("Channel.v1.UnregisterChannelNotifySink"), 0u);
}

TEST_P(RPCPluginInstanceLogged, EveryFailingCallIsLoggedAndLeavesNothingBehind) {
  enum Step { kConnect, kCreate, kCreateExt, kDestroy, kGetOptions, kUnregister, kClientLeaves };
  const struct {
    const char* fault;
    Step step;
    const char* text;  // a trace's exit line is "Exit - ..."
  } rows[] = {
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
  for (const auto& row : rows) {
    SCOPED_TRACE(row.fault);
    Restart();
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
    EXPECT_FALSE(row.step == kCreate && plugin->CreateMessage(&ctx, kDataChan));
    EXPECT_FALSE(row.step == kCreateExt && plugin->CreateExtMessage(&ctx, kDataChan, 1));
    EXPECT_FALSE(row.step == kGetOptions && plugin->GetChannelOptions(kDataChan, &options));
    EXPECT_FALSE(row.step == kUnregister && plugin->UnregisterChannelSink());
    EXPECT_FALSE(row.step == kDestroy && plugin->DestroyMessage(ctx));
    if (row.step == kDestroy) {
      sim->KapSim_ResetFaults();
      EXPECT_TRUE(plugin->DestroyMessage(ctx));
    }
    if (row.step == kClientLeaves) {
      ASSERT_EQ(sim->KapSim_DisconnectClient(client), TRUE);
      EXPECT_TRUE(PumpUntil([&] { return plugin->notReadyCount.load() == 1; }));
    }
    EXPECT_TRUE(PumpUntil([&] { return Logged(row.text); })) << row.text;
  }
}
