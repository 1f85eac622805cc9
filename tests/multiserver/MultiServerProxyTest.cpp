// Multi-server mode through its internal entry points, against the stand-in channel service.
#include <atomic>
#include <random>
#include <thread>

#include "MultiServerTestSupport.h"

namespace {

KapSimParam Str(const char* text) {
  KapSimParam p = {};
  p.value.vt = KAP_RPC_VT_LPSTR;
  p.value.strVal = const_cast<char*>(text);
  return p;
}

KapSimParam Blob(const std::string& bytes) {
  KapSimParam p = {};
  p.value.vt = KAP_RPC_VT_BLOB;
  p.value.blobVal.size = static_cast<uint32_t>(bytes.size());
  p.value.blobVal.blobData = const_cast<char*>(bytes.data());
  return p;
}

const char* const kControl = "UsbRedirControlObj";
const char* const kData = "UsbRedirDataObj";

}  // namespace

using MultiServerSession = MultiServerFixture;

// Servers of one session share one CONNECTED notice; every server gets the next id of the
// process-wide counter, whatever its session.
TEST_F(MultiServerSession, ServersGetIdsInConnectionOrderAcrossSessions) {
  const DWORD first = s_connections + 1;
  DWORD a = 0, b = 0, c = 0;
  ASSERT_NO_FATAL_FAILURE(Register(201));
  ASSERT_NE(Connect(201, &a), nullptr);
  ASSERT_NE(Connect(201, &b), nullptr);
  // This thread serves the session it registered last; 201 stays registered.
  ASSERT_NO_FATAL_FAILURE(Register(202));
  ASSERT_NE(Connect(202, &c), nullptr);
  EXPECT_EQ(a, first);  // 1 in a process of its own
  EXPECT_EQ(b, first + 1);
  EXPECT_EQ(c, first + 2);
  std::vector<RecordingHost::Event> notices = RecordingHost::Get().Events(RecordingHost::CHANNEL);
  ASSERT_EQ(notices.size(), 2u);
  EXPECT_EQ(notices[0].session, 201u);
  EXPECT_EQ(notices[0].value, USB_REDIR_CHANNEL_CONNECTED);
  EXPECT_EQ(notices[1].session, 202u);
  EXPECT_EQ(Manager(201)->GetKapServerIdByMappedServerId(c), nullptr);  // not 201's server
  EXPECT_EQ(Manager(202)->GetKapServerIdByMappedServerId(c), ServerOf(clients[2]));

  // Registering again changes nothing.
  EXPECT_EQ(UsbRedirectionMultiServerProxy_Register(202), TRUE);
  EXPECT_TRUE(log->Writer()->HasMessage("Session already exists for sessionId = 202.\n"));
  EXPECT_EQ(Manager(201)->GetMappedServerIdByKapServerId(ServerOf(clients[0])), a);
}

// A request reaches v2.OnMessageArrive with its server's id; the host's reply goes back to
// the client and its buffer back to the host through v3.kapvhubFree.
TEST_F(MultiServerSession, RequestsCarryTheirServersIdAndRepliesAreFreed) {
  ASSERT_NO_FATAL_FAILURE(Register(203));
  DWORD a = 0, b = 0;
  KapSimClient* clientA = Connect(203, &a);
  KapSimClient* clientB = Connect(203, &b);
  ASSERT_NE(clientB, nullptr);
  RecordingHost::Get().SetReply("reply!");

  const std::string payload("dev\0list", 8);
  const std::string question("q");
  KapSimParam post[] = {Str("PlugInDevice"), Blob(payload)};
  KapSimParam ask[] = {Str("IsUsbAvailable"), Str("m-17"), Blob(question)};
  uint32_t postId = 0, askId = 0;
  ASSERT_EQ(sim->KapSim_SendRequest(clientA, kControl, 0, post, 2, &postId), TRUE);
  ASSERT_EQ(sim->KapSim_SendRequest(clientB, kData, 2, ask, 3, &askId), TRUE);
  ASSERT_TRUE(PumpUntil(
      203, [&] { return RecordingHost::Get().Events(RecordingHost::MESSAGE).size() == 2; }));
  std::vector<RecordingHost::Event> messages = RecordingHost::Get().Events(RecordingHost::MESSAGE);
  EXPECT_EQ(messages[0].server, a);
  EXPECT_EQ(messages[0].op, USB_OPERATION_TYPE_USB_DEVICE_PLUGIN);
  EXPECT_EQ(messages[0].bytes, payload);
  EXPECT_EQ(messages[1].server, b);
  EXPECT_EQ(messages[1].op, USB_OPERATION_TYPE_RUSB_ISUSBAVAILABLE);

  ASSERT_EQ(sim->KapSim_WaitRequest(clientB, askId, kWaitMs), KAPSIM_REQUEST_ANSWERED);
  uint32_t code = 0;
  int count = 0;
  ASSERT_EQ(sim->KapSim_GetReply(clientB, askId, &code, &count), TRUE);
  ASSERT_EQ(count, 2);
  const char* name = nullptr;
  const KAP_RPC_VARIANT* value = nullptr;
  ASSERT_EQ(sim->KapSim_GetReplyValue(clientB, askId, 0, &name, &value), TRUE);
  EXPECT_STREQ(value->strVal, "m-17");
  ASSERT_EQ(sim->KapSim_GetReplyValue(clientB, askId, 1, &name, &value), TRUE);
  EXPECT_EQ(std::string(value->blobVal.blobData, value->blobVal.size), "reply!");
  // Only the request that takes a reply gave a buffer back.
  std::vector<RecordingHost::Event> freed = RecordingHost::Get().Events(RecordingHost::FREED);
  ASSERT_EQ(freed.size(), 1u);
  EXPECT_EQ(freed[0].bytes, "reply!");
  EXPECT_EQ(freed[0].value, 6);
}

// A response goes to the server its fast-queue id names, and to no other; a property-bag
// response is posted with its own text (up to a NUL byte) as the message type.
TEST_F(MultiServerSession, ResponsesReachOnlyTheServerTheyName) {
  ASSERT_NO_FATAL_FAILURE(Register(204));
  DWORD a = 0, b = 0;
  KapSimClient* clientA = Connect(204, &a);
  KapSimClient* clientB = Connect(204, &b);
  ASSERT_NE(clientB, nullptr);
  struct Case {
    const char* what;
    std::string data;
    USB_RedirPackageType type;
    bool withExt;
    DWORD target;
    KapSimClient* receiver;  // null: nobody
    std::string messageType;
  };
  const Case cases[] = {
      {"urb to b", "urb-bytes", USB_REDIR_PACKAGE_TYPE_URB, true, b, clientB, ""},
      {"propbag to a", "DeviceList", USB_REDIR_PACKAGE_TYPE_PROPBAG, true, a, clientA,
       "DeviceList"},
      {"propbag with a NUL", std::string("Filter\0tail", 11), USB_REDIR_PACKAGE_TYPE_PROPBAG, true,
       b, clientB, "Filter"},
      {"unknown id", "lost", USB_REDIR_PACKAGE_TYPE_URB, true, b + 100, nullptr, ""},
      {"no ext", "lost", USB_REDIR_PACKAGE_TYPE_PROPBAG, false, 0, nullptr, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    int countA = sim->KapSim_GetMessageCount(clientA);
    int countB = sim->KapSim_GetMessageCount(clientB);
    USBRedir_SendResponseExt ext = Ext(c.target);
    std::string data = c.data;
    EXPECT_EQ(
        UsbRedirectionMultiServerProxy_SendResponse(
            204, &data[0], static_cast<uint32_t>(data.size()), c.type, c.withExt ? &ext : nullptr),
        TRUE);
    UsbRedirectionMultiServerProxy_Poll(204, nullptr);
    EXPECT_EQ(sim->KapSim_GetMessageCount(clientA), countA + (c.receiver == clientA ? 1 : 0));
    EXPECT_EQ(sim->KapSim_GetMessageCount(clientB), countB + (c.receiver == clientB ? 1 : 0));
    if (c.receiver == nullptr) {
      EXPECT_TRUE(
          log->Writer()->HasMessage("UsbRedirectionServerMultiServerPlugin cast failed!\n"));
      continue;
    }
    int index = sim->KapSim_GetMessageCount(c.receiver) - 1;
    KapSimMessage message;
    ASSERT_EQ(sim->KapSim_GetMessage(c.receiver, index, &message), TRUE);
    EXPECT_STREQ(message.objectName, kData);
    EXPECT_EQ(message.postMode, TRUE);
    if (c.type == USB_REDIR_PACKAGE_TYPE_URB) {
      EXPECT_EQ(message.command, 1u);
      EXPECT_EQ(Param(c.receiver, index, 0), std::to_string(c.target));
      EXPECT_EQ(Param(c.receiver, index, 3), c.data);
    } else {
      EXPECT_EQ(message.command, 0u);
      EXPECT_EQ(Param(c.receiver, index, 0), c.messageType);
      EXPECT_EQ(Param(c.receiver, index, 1), c.data);
    }
  }
}

// A server that leaves is reported with its id; the session's channel stays up until the
// session is unregistered, and the next server to come is the first again.
TEST_F(MultiServerSession, LeavingServersAreReportedByIdAndSessionStaysUp) {
  ASSERT_NO_FATAL_FAILURE(Register(205));
  DWORD a = 0, b = 0, c = 0;
  KapSimClient* clientA = Connect(205, &a);
  KapSimClient* clientB = Connect(205, &b);
  ASSERT_NE(clientB, nullptr);
  for (KapSimClient* client : {clientA, clientB}) {
    ASSERT_EQ(sim->KapSim_DisconnectClient(client), TRUE);
  }
  ASSERT_TRUE(PumpUntil(
      205, [&] { return RecordingHost::Get().Events(RecordingHost::SERVER).size() == 2; }));
  std::vector<RecordingHost::Event> left = RecordingHost::Get().Events(RecordingHost::SERVER);
  EXPECT_EQ(left[0].server, a);
  EXPECT_EQ(left[1].server, b);
  EXPECT_EQ(left[1].session, 205u);
  EXPECT_EQ(left[1].value, USB_REDIR_CHANNEL_DISCONNECTED);
  EXPECT_EQ(Manager(205)->GetKapServerIdByMappedServerId(a), nullptr);
  ASSERT_EQ(RecordingHost::Get().Events(RecordingHost::CHANNEL).size(), 1u);  // CONNECTED only

  // A disconnect the manager never saw a connect for changes nothing.
  Manager(205)->OnServerDisconnected(reinterpret_cast<KapServerID>(0x5150));
  EXPECT_TRUE(log->Writer()->HasMessage("Server [0x5150] is not located."));
  EXPECT_EQ(RecordingHost::Get().Events(RecordingHost::SERVER).size(), 2u);

  ASSERT_NE(Connect(205, &c), nullptr);
  EXPECT_EQ(c, b + 1);  // never reused
  std::vector<RecordingHost::Event> notices = RecordingHost::Get().Events(RecordingHost::CHANNEL);
  ASSERT_EQ(notices.size(), 2u);
  EXPECT_EQ(notices[1].value, USB_REDIR_CHANNEL_CONNECTED);
}

// Unregistering tells the host the session is down while the channel service still runs;
// afterwards the session is unknown to every entry point.
TEST_F(MultiServerSession, UnregisterReportsDisconnectedBeforeTheServiceEnds) {
  ASSERT_NO_FATAL_FAILURE(Register(206));
  DWORD a = 0;
  ASSERT_NE(Connect(206, &a), nullptr);
  uint64_t exitsAtNotice = ~0ull;
  RecordingHost::Get().SetOnChannelState([&](USB_RedirChannelState state) {
    if (state == USB_REDIR_CHANNEL_DISCONNECTED) {
      exitsAtNotice = sim->KapSim_GetCallCount("KAPService_MultiServerExit");
    }
  });
  UsbRedirectionMultiServerProxy_Unregister(206);
  sessions.clear();
  EXPECT_EQ(exitsAtNotice, 0u);
  EXPECT_EQ(sim->KapSim_GetCallCount("KAPService_MultiServerExit"), 1u);
  std::vector<RecordingHost::Event> notices = RecordingHost::Get().Events(RecordingHost::CHANNEL);
  ASSERT_EQ(notices.size(), 2u);
  EXPECT_EQ(notices[1].session, 206u);
  EXPECT_EQ(notices[1].value, USB_REDIR_CHANNEL_DISCONNECTED);
  EXPECT_TRUE(log->Writer()->HasMessage("Server exited for session 206.\n"));

  char data[] = "x";
  USBRedir_SendResponseExt ext = Ext(a);
  EXPECT_EQ(
      UsbRedirectionMultiServerProxy_SendResponse(206, data, 1, USB_REDIR_PACKAGE_TYPE_URB, &ext),
      FALSE);
  UsbRedirectionMultiServerProxy_Poll(206, nullptr);
  UsbRedirectionMultiServerProxy_Unregister(206);
  EXPECT_EQ(log->Writer()->CountContaining("Session 206 not exist."), 3);
}

TEST_F(MultiServerSession, FailedStartLeavesNoSession) {
  sim->KapSim_SetMaxVersion("Server", 0);
  EXPECT_EQ(UsbRedirectionMultiServerProxy_Register(207), FALSE);
  EXPECT_TRUE(log->Writer()->HasMessage("MultiServerInit() for session 207 failed.\n"));
  EXPECT_FALSE(UsbRedirectionMultiServerProxy_SessionAlreadyExists(207));
  EXPECT_EQ(sim->KapSim_GetCallCount("KAPService_MultiServerExit"), 1u);
}

// Control messages from the Tarn process become Filter/UnFilter posts to the client; only
// the first sender is accepted as that process.
TEST_F(MultiServerSession, TarnControlMessagesFromTheAcceptedPeerOnly) {
  ASSERT_NO_FATAL_FAILURE(Register(208));
  DWORD a = 0;
  KapSimClient* client = Connect(208, &a);
  ASSERT_NE(client, nullptr);
  EXPECT_TRUE(log->Writer()->HasMessage(
      "Skip open TARN usb message channel since usb collaboration is disabled."));
  RCPtr<UsbRedirectionServerMultiServerPlugin> plugin = PluginOf(208, client);
  MsgChannelHandle tarn = plugin->OpenMsgChannel("UsbTarn");
  ASSERT_NE(tarn, nullptr);
  ASSERT_TRUE(PumpUntil(208, [&] { return plugin->IsMsgChannelReady(tarn); }));
  UsbRedirectionServerMultiServerPluginTestPeer::HoldTarnChannel(plugin, tarn);

  struct Case {
    const char* what;
    int32_t pid;
    std::string bytes;
    const char* operation;  // null: nothing sent
  };
  const Case cases[] = {
      {"lost", 700, std::string("\0\0\0\0", 4), "Filter"},
      {"granted, extra bytes", 700, std::string("\1\0\0\0zz", 6), "UnFilter"},
      {"unknown status", 700, std::string("\2\0\0\0", 4), nullptr},
      {"too short", 700, std::string("\0\0", 2), nullptr},
      {"second peer", 701, std::string("\0\0\0\0", 4), nullptr},
      {"first peer again", 700, std::string("\0\0\0\0", 4), "Filter"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    int count = sim->KapSim_GetMessageCount(client);
    ASSERT_EQ(sim->KapSim_SendToMsgChannel(client, "UsbTarn", c.pid, "tarn", c.bytes.data(),
                                           static_cast<int>(c.bytes.size())),
              TRUE);
    UsbRedirectionMultiServerProxy_Poll(208, nullptr);
    ASSERT_EQ(sim->KapSim_GetMessageCount(client), count + (c.operation != nullptr ? 1 : 0));
    if (c.operation != nullptr) {
      KapSimMessage message;
      ASSERT_EQ(sim->KapSim_GetMessage(client, count, &message), TRUE);
      EXPECT_EQ(message.command, 0u);
      EXPECT_EQ(Param(client, count, 0), c.operation);
      EXPECT_EQ(Param(client, count, 1), c.operation);  // exactly its 6 or 8 bytes
    }
  }
  EXPECT_TRUE(log->Writer()->HasMessage("Unrecognized control message: 2."));
  EXPECT_EQ(log->Writer()->CountContaining("can't be determined as TARN, message ignored."), 1);
  // A message on any other channel of the instance is not a control message.
  MsgChannelHandle other = plugin->OpenMsgChannel("Other");
  ASSERT_TRUE(PumpUntil(208, [&] { return plugin->IsMsgChannelReady(other); }));
  int count = sim->KapSim_GetMessageCount(client);
  ASSERT_EQ(sim->KapSim_SendToMsgChannel(client, "Other", 700, "tarn", "\0\0\0\0", 4), TRUE);
  UsbRedirectionMultiServerProxy_Poll(208, nullptr);
  EXPECT_EQ(sim->KapSim_GetMessageCount(client), count);
  EXPECT_TRUE(plugin->CloseMsgChannel(other));

  // Losing the client closes the Tarn channel.
  ASSERT_EQ(sim->KapSim_DisconnectClient(client), TRUE);
  ASSERT_TRUE(PumpUntil(208, [&] { return !plugin->IsMsgChannelReady(tarn); }));
  KapSimCounters now;
  sim->KapSim_GetCounters(&now);
  EXPECT_EQ(now.msgChannels, before.msgChannels);
}

// Servers come and go on the session's thread while host threads send responses to
// whichever ids they last heard of: every message reaches only the server its id names.
TEST_F(MultiServerSession, ServersComeAndGoWhileHostThreadsSend) {
  ASSERT_NO_FATAL_FAILURE(Register(209));
  std::atomic<DWORD> newest{0};
  std::atomic<bool> stop{false};
  std::atomic<int> sent{0};
  auto sender = [&](unsigned seed) {
    std::mt19937 rng(seed);
    char payload[32] = "urb";
    while (!stop.load()) {
      DWORD top = newest.load();
      if (top == 0) {
        std::this_thread::yield();
        continue;
      }
      USBRedir_SendResponseExt ext = Ext(top - rng() % 3);
      USB_RedirPackageType type =
          rng() % 4 == 0 ? USB_REDIR_PACKAGE_TYPE_PROPBAG : USB_REDIR_PACKAGE_TYPE_URB;
      if (UsbRedirectionMultiServerProxy_SendResponse(209, payload, sizeof(payload), type, &ext)) {
        ++sent;
      }
    }
  };
  std::vector<std::thread> senders;
  for (unsigned n = 0; n < 3; ++n) {
    senders.emplace_back(sender, n);
  }
  struct Joiner {
    std::atomic<bool>& stop;
    std::vector<std::thread>& threads;
    ~Joiner() {
      stop.store(true);
      for (std::thread& t : threads) {
        t.join();
      }
    }
  } joiner{stop, senders};

  std::vector<std::pair<KapSimClient*, DWORD>> served;
  for (int round = 0; round < 6; ++round) {
    DWORD id = 0;
    KapSimClient* client = Connect(209, &id);
    ASSERT_NE(client, nullptr);
    served.emplace_back(client, id);
    newest.store(id);
    UsbRedirectionMultiServerProxy_Poll(209, nullptr);
    if (round % 2 == 1) {
      ASSERT_EQ(sim->KapSim_DisconnectClient(served[round - 1].first), TRUE);
    }
  }
  stop.store(true);
  for (std::thread& t : senders) {
    t.join();
  }
  senders.clear();
  UsbRedirectionMultiServerProxy_Poll(209, nullptr);
  EXPECT_GT(sent.load(), 0);
  int delivered = 0;
  for (const auto& entry : served) {
    int count = sim->KapSim_GetMessageCount(entry.first);
    for (int i = 0; i < count; ++i) {
      KapSimMessage message;
      ASSERT_EQ(sim->KapSim_GetMessage(entry.first, i, &message), TRUE);
      if (message.command == 1) {
        EXPECT_EQ(Param(entry.first, i, 0), std::to_string(entry.second));
      }
    }
    delivered += count;
  }
  EXPECT_GT(delivered, 0);
}
