// Multi-server mode through its internal entry points, against the stand-in channel service.
#include <atomic>
#include <random>
#include <thread>

#include "MultiServerTestSupport.h"

namespace {

const char* const kControl = "UsbRedirControlObj";
const char* const kData = "UsbRedirDataObj";

}  // namespace

using MultiServerSession = MultiServerFixture;

// Servers of one session share one CONNECTED notice and every server gets the next id of
// the process-wide counter, whatever its session. A request reaches v2.OnMessageArrive
// with its server's id, and the host's reply goes back to the client and its buffer back
// to the host through v3.kapvhubFree. A response goes to the server its fast-queue id
// names and to no other; a property-bag response is posted with its own text (up to a NUL
// byte) as the message type.
TEST_F(MultiServerSession, ServersIdsRequestsAndResponses) {
  sim->KapSim_SetMaxVersion("Server", 0);
  EXPECT_EQ(UsbRedirectionMultiServerProxy_Register(207), FALSE);
  EXPECT_TRUE(Has("MultiServerInit() for session 207 failed.\n"));
  EXPECT_FALSE(UsbRedirectionMultiServerProxy_SessionAlreadyExists(207));
  EXPECT_EQ(sim->KapSim_GetCallCount("KAPService_MultiServerExit"), 1u);
  sim->KapSim_ResetFaults();

  const DWORD first = s_connections + 1;
  DWORD a = 0, b = 0, c = 0;
  ASSERT_NO_FATAL_FAILURE(Register(201));
  KapSimClient* clientA = Connect(201, &a);
  KapSimClient* clientB = Connect(201, &b);
  ASSERT_NE(clientB, nullptr);
  EXPECT_EQ(a, first);  // 1 in a process of its own
  EXPECT_EQ(b, first + 1);
  RecordingHost::Get().SetReply("reply!");

  const std::string texts[] = {"PlugInDevice", std::string("dev\0list", 8), "IsUsbAvailable",
                               "m-17", "q"};
  KapSimParam post[] = {SimParam(KAP_RPC_VT_LPSTR, 0, &texts[0]),
                        SimParam(KAP_RPC_VT_BLOB, 0, &texts[1])};
  KapSimParam ask[] = {SimParam(KAP_RPC_VT_LPSTR, 0, &texts[2]),
                       SimParam(KAP_RPC_VT_LPSTR, 0, &texts[3]),
                       SimParam(KAP_RPC_VT_BLOB, 0, &texts[4])};
  uint32_t postId = 0, askId = 0;
  ASSERT_EQ(sim->KapSim_SendRequest(clientA, kControl, 0, post, 2, &postId), TRUE);
  ASSERT_EQ(sim->KapSim_SendRequest(clientB, kData, 2, ask, 3, &askId), TRUE);
  ASSERT_TRUE(PumpUntil(201, [&] { return Events(RecordingHost::MESSAGE).size() == 2; }));
  std::vector<RecordingHost::Event> messages = Events(RecordingHost::MESSAGE);
  EXPECT_EQ(messages[0].server, a);
  EXPECT_EQ(messages[0].op, USB_OPERATION_TYPE_USB_DEVICE_PLUGIN);
  EXPECT_EQ(messages[0].bytes, texts[1]);
  EXPECT_EQ(messages[1].server, b);
  EXPECT_EQ(messages[1].op, USB_OPERATION_TYPE_RUSB_ISUSBAVAILABLE);
  ASSERT_EQ(sim->KapSim_WaitRequest(clientB, askId, kWaitMs), KAPSIM_REQUEST_ANSWERED);
  uint32_t code = 0;
  int count = 0;
  ASSERT_EQ(sim->KapSim_GetReply(clientB, askId, &code, &count), TRUE);
  ASSERT_EQ(count, 2);
  EXPECT_EQ(ReplyValue(sim, clientB, askId, 0), "m-17");
  EXPECT_EQ(ReplyValue(sim, clientB, askId, 1), "reply!");
  // Only the request that takes a reply gave a buffer back.
  std::vector<RecordingHost::Event> freed = Events(RecordingHost::FREED);
  ASSERT_EQ(freed.size(), 1u);
  EXPECT_EQ(freed[0].bytes, "reply!");
  EXPECT_EQ(freed[0].value, 6);

  struct Case {
    const char* what;
    std::string data;
    USB_RedirPackageType type;
    bool withExt;
    DWORD target;
    KapSimClient* receiver;  // null: nobody
    std::string messageType;
  };
  const auto urb = USB_REDIR_PACKAGE_TYPE_URB;
  const auto bag = USB_REDIR_PACKAGE_TYPE_PROPBAG;
  const Case cases[] = {
      {"urb to b", "urb-bytes", urb, true, b, clientB, ""},
      {"propbag to a", "DeviceList", bag, true, a, clientA, "DeviceList"},
      {"propbag with a NUL", std::string("Filter\0tail", 11), bag, true, b, clientB, "Filter"},
      {"unknown id", "lost", urb, true, b + 100, nullptr, ""},
      {"no ext", "lost", bag, false, 0, nullptr, ""},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    int countA = sim->KapSim_GetMessageCount(clientA);
    int countB = sim->KapSim_GetMessageCount(clientB);
    USBRedir_SendResponseExt ext = Ext(k.target);
    std::string data = k.data;
    EXPECT_EQ(
        UsbRedirectionMultiServerProxy_SendResponse(
            201, &data[0], static_cast<uint32_t>(data.size()), k.type, k.withExt ? &ext : nullptr),
        TRUE);
    UsbRedirectionMultiServerProxy_Poll(201, nullptr);
    EXPECT_EQ(sim->KapSim_GetMessageCount(clientA), countA + (k.receiver == clientA ? 1 : 0));
    EXPECT_EQ(sim->KapSim_GetMessageCount(clientB), countB + (k.receiver == clientB ? 1 : 0));
    if (k.receiver == nullptr) {
      EXPECT_TRUE(Has("UsbRedirectionServerMultiServerPlugin cast failed!\n"));
      continue;
    }
    int index = sim->KapSim_GetMessageCount(k.receiver) - 1;
    KapSimMessage message;
    ASSERT_EQ(sim->KapSim_GetMessage(k.receiver, index, &message), TRUE);
    EXPECT_STREQ(message.objectName, kData);
    EXPECT_EQ(message.postMode, TRUE);
    bool isUrb = k.type == urb;
    EXPECT_EQ(message.command, isUrb ? 1u : 0u);
    EXPECT_EQ(Param(k.receiver, index, 0), isUrb ? std::to_string(k.target) : k.messageType);
    EXPECT_EQ(Param(k.receiver, index, isUrb ? 3 : 1), k.data);
  }

  // This thread serves the session it registered last; 201 stays registered.
  ASSERT_NO_FATAL_FAILURE(Register(202));
  ASSERT_NE(Connect(202, &c), nullptr);
  EXPECT_EQ(c, first + 2);
  std::vector<RecordingHost::Event> notices = Events(RecordingHost::CHANNEL);
  ASSERT_EQ(notices.size(), 2u);
  EXPECT_EQ(notices[0].session, 201u);
  EXPECT_EQ(notices[0].value, USB_REDIR_CHANNEL_CONNECTED);
  EXPECT_EQ(notices[1].session, 202u);
  EXPECT_EQ(Manager(201)->GetKapServerIdByMappedServerId(c), nullptr);  // not 201's server
  EXPECT_EQ(Manager(202)->GetKapServerIdByMappedServerId(c), ServerOf(clients[2]));
  // Registering again changes nothing.
  EXPECT_EQ(UsbRedirectionMultiServerProxy_Register(202), TRUE);
  EXPECT_TRUE(Has("Session already exists for sessionId = 202.\n"));
  EXPECT_EQ(Manager(201)->GetMappedServerIdByKapServerId(ServerOf(clientA)), a);
}

// A server that leaves is reported with its id and its id is never reused; the session's
// channel stays up until the session is unregistered, which tells the host the session is
// down while the channel service still runs. Afterwards the session is unknown to every
// entry point.
TEST_F(MultiServerSession, LeavingServersAndUnregisterAreReportedInOrder) {
  ASSERT_NO_FATAL_FAILURE(Register(205));
  DWORD a = 0, b = 0, c = 0;
  KapSimClient* clientA = Connect(205, &a);
  KapSimClient* clientB = Connect(205, &b);
  ASSERT_NE(clientB, nullptr);
  for (KapSimClient* client : {clientA, clientB}) {
    ASSERT_EQ(sim->KapSim_DisconnectClient(client), TRUE);
  }
  ASSERT_TRUE(PumpUntil(205, [&] { return Events(RecordingHost::SERVER).size() == 2; }));
  std::vector<RecordingHost::Event> left = Events(RecordingHost::SERVER);
  EXPECT_EQ(left[0].server, a);
  EXPECT_EQ(left[1].server, b);
  EXPECT_EQ(left[1].session, 205u);
  EXPECT_EQ(left[1].value, USB_REDIR_CHANNEL_DISCONNECTED);
  EXPECT_EQ(Manager(205)->GetKapServerIdByMappedServerId(a), nullptr);
  ASSERT_EQ(Events(RecordingHost::CHANNEL).size(), 1u);  // CONNECTED only

  // A disconnect the manager never saw a connect for changes nothing.
  Manager(205)->OnServerDisconnected(reinterpret_cast<KapServerID>(0x5150));
  EXPECT_TRUE(Has("Server [0x5150] is not located."));
  EXPECT_EQ(Events(RecordingHost::SERVER).size(), 2u);
  ASSERT_NE(Connect(205, &c), nullptr);
  EXPECT_EQ(c, b + 1);  // never reused
  ASSERT_EQ(Events(RecordingHost::CHANNEL).size(), 2u);
  EXPECT_EQ(Events(RecordingHost::CHANNEL)[1].value, USB_REDIR_CHANNEL_CONNECTED);

  UsbRedirectionMultiServerProxy_Unregister(205);
  sessions.clear();
  EXPECT_EQ(sim->KapSim_GetCallCount("KAPService_MultiServerExit"), 1u);
  std::vector<RecordingHost::Event> notices = Events(RecordingHost::CHANNEL);
  ASSERT_EQ(notices.size(), 3u);
  EXPECT_EQ(notices[2].session, 205u);
  EXPECT_EQ(notices[2].value, USB_REDIR_CHANNEL_DISCONNECTED);
  EXPECT_EQ(notices[2].serviceExits, 0u);  // told while the channel service still ran
  EXPECT_TRUE(Has("Server exited for session 205.\n"));

  char data[] = "x";
  USBRedir_SendResponseExt ext = Ext(c);
  EXPECT_EQ(
      UsbRedirectionMultiServerProxy_SendResponse(205, data, 1, USB_REDIR_PACKAGE_TYPE_URB, &ext),
      FALSE);
  UsbRedirectionMultiServerProxy_Poll(205, nullptr);
  UsbRedirectionMultiServerProxy_Unregister(205);
  EXPECT_EQ(log->Writer()->CountContaining("Session 205 not exist."), 3);
}

// Control messages from the Tarn process become Filter/UnFilter posts to the client; only
// the first sender is accepted as that process.
TEST_F(MultiServerSession, TarnControlMessagesFromTheAcceptedPeerOnly) {
  ASSERT_NO_FATAL_FAILURE(Register(208));
  DWORD a = 0;
  KapSimClient* client = Connect(208, &a);
  ASSERT_NE(client, nullptr);
  EXPECT_TRUE(Has("Skip open TARN usb message channel since usb collaboration is disabled."));
  RCPtr<UsbRedirectionServerMultiServerPlugin> plugin = PluginOf(208, client);
  MsgChannelHandle tarn = plugin->OpenMsgChannel("UsbTarn");
  ASSERT_NE(tarn, nullptr);
  ASSERT_TRUE(PumpUntil(208, [&] { return plugin->IsMsgChannelReady(tarn); }));
  UsbRedirectionServerMultiServerPluginTestPeer::HoldTarnChannel(plugin, tarn);
  MsgChannelHandle other = plugin->OpenMsgChannel("Other");
  ASSERT_TRUE(PumpUntil(208, [&] { return plugin->IsMsgChannelReady(other); }));

  struct Case {
    const char* what;
    const char* channel;
    int32_t pid;
    std::string bytes;
    const char* operation;  // null: nothing sent
  };
  const Case cases[] = {
      {"lost", "UsbTarn", 700, std::string("\0\0\0\0", 4), "Filter"},
      {"granted, extra bytes", "UsbTarn", 700, std::string("\1\0\0\0zz", 6), "UnFilter"},
      {"unknown status", "UsbTarn", 700, std::string("\2\0\0\0", 4), nullptr},
      {"too short", "UsbTarn", 700, std::string("\0\0", 2), nullptr},
      {"second peer", "UsbTarn", 701, std::string("\0\0\0\0", 4), nullptr},
      {"first peer again", "UsbTarn", 700, std::string("\0\0\0\0", 4), "Filter"},
      {"another channel", "Other", 700, std::string("\0\0\0\0", 4), nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    int count = sim->KapSim_GetMessageCount(client);
    ASSERT_EQ(sim->KapSim_SendToMsgChannel(client, c.channel, c.pid, "tarn", c.bytes.data(),
                                           static_cast<int>(c.bytes.size())),
              TRUE);
    UsbRedirectionMultiServerProxy_Poll(208, nullptr);
    ASSERT_EQ(sim->KapSim_GetMessageCount(client), count + (c.operation != nullptr ? 1 : 0));
    if (c.operation == nullptr) continue;
    KapSimMessage message;
    ASSERT_EQ(sim->KapSim_GetMessage(client, count, &message), TRUE);
    EXPECT_EQ(message.command, 0u);
    EXPECT_EQ(Param(client, count, 0), c.operation);
    EXPECT_EQ(Param(client, count, 1), c.operation);  // exactly its 6 or 8 bytes
  }
  EXPECT_TRUE(Has("Unrecognized control message: 2."));
  EXPECT_EQ(log->Writer()->CountContaining("can't be determined as TARN, message ignored."), 1);
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
  for (unsigned n = 0; n < 3; ++n) senders.emplace_back(sender, n);
  struct Joiner {
    std::atomic<bool>& stop;
    std::vector<std::thread>& threads;
    ~Joiner() {
      stop.store(true);
      for (std::thread& t : threads) t.join();
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
    ASSERT_TRUE(round % 2 == 0 || sim->KapSim_DisconnectClient(served[round - 1].first) == TRUE);
  }
  stop.store(true);
  for (std::thread& t : senders) t.join();
  senders.clear();
  UsbRedirectionMultiServerProxy_Poll(209, nullptr);
  EXPECT_GT(sent.load(), 0);
  int delivered = 0;
  for (const auto& entry : served) {
    int count = sim->KapSim_GetMessageCount(entry.first);
    for (int i = 0; i < count; ++i) {
      KapSimMessage message;
      ASSERT_EQ(sim->KapSim_GetMessage(entry.first, i, &message), TRUE);
      if (message.command != 1) continue;
      EXPECT_EQ(Param(entry.first, i, 0), std::to_string(entry.second));
    }
    delivered += count;
  }
  EXPECT_GT(delivered, 0);
}
