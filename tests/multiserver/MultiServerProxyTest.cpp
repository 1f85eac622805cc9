// Multi-server mode through its internal entry points; sessions are polled from this thread.
#include <mutex>
#include <random>

#include "../channel/ChannelTestSupport.h"
#include "multiserver/UsbRedirectionMultiServerProxy.h"
#include "multiserver/UsbRedirectionServerMultiServerPlugin.h"

// Reaches the Tarn channel handle, which this design never opens by itself.
class UsbRedirectionServerMultiServerPluginTestPeer {
 public:
  static void HoldTarnChannel(UsbRedirectionServerMultiServerPlugin* plugin,
                              MsgChannelHandle handle) {
    plugin->mTarnUsbChannelHandle = handle;
  }
};

namespace {

const char* const kControl = "UsbRedirControlObj";
const char* const kData = "UsbRedirDataObj";

// What the plug-in told the host, and the host's reply (empty: none); gLock guards both.
enum Kind { CHANNEL, SERVER, MESSAGE, FREED };
std::mutex gLock;
std::vector<std::string> gEvents[4];
std::string gReply;

void Add(Kind kind, std::initializer_list<std::string> fields) {
  std::string text;
  for (const std::string& field : fields) text += (text.empty() ? "" : " ") + field;
  std::lock_guard<std::mutex> guard(gLock);
  gEvents[kind].push_back(text);
}
std::vector<std::string> Events(Kind kind) {
  std::lock_guard<std::mutex> guard(gLock);
  return gEvents[kind];
}
using std::to_string;

// A CHANNEL notice carries the KAPService_MultiServerExit calls made so far.
USBRedir_CallbackInterface HostTable() {
  USBRedir_CallbackInterface table = {};
  table.version = 3;
  table.v1.OnChannelStateChange = [](DWORD session, USB_RedirChannelState state) {
    uint64_t exits = SimControl::Get()->KapSim_GetCallCount("KAPService_MultiServerExit");
    Add(CHANNEL, {to_string(session), to_string(state), "exits=" + to_string(exits)});
  };
  table.v1.OnMessageArrive = [](DWORD, char*, uint32_t, USB_RedirPackageType, USB_OperationType,
                                char**, uint32_t*) { ADD_FAILURE() << "v1 OnMessageArrive"; };
  table.v2.OnKapServerStateChange = [](DWORD session, DWORD server, USB_RedirChannelState state) {
    Add(SERVER, {to_string(session), to_string(server), to_string(state)});
  };
  table.v2.OnMessageArrive = [](DWORD session, DWORD server, char* msg, uint32_t length,
                                USB_RedirPackageType type, USB_OperationType op, char** resp,
                                uint32_t* respLength) {
    Add(MESSAGE, {to_string(session), to_string(server), to_string(type), to_string(op),
                  std::string(msg, length)});
    std::lock_guard<std::mutex> guard(gLock);
    if (resp != nullptr && respLength != nullptr && !gReply.empty()) {
      *resp = strdup(gReply.c_str());
      *respLength = static_cast<uint32_t>(gReply.size());
    }
  };
  table.v3.kapvhubFree = [](char* buffer, uint32_t length) {
    Add(FREED, {to_string(length), std::string(buffer, length)});
    free(buffer);
  };
  return table;
}

class MultiServerSession : public ::testing::Test {
 protected:
  static constexpr int kWaitMs = 10000;  // generous: a loaded 2-core machine

  void SetUp() override {
    ASSERT_NE(sim, nullptr);
    sim->KapSim_ResetFaults();
    before = sim->Counters();
    for (auto& events : gEvents) events.clear();
    gReply.clear();
    USBRedir_CallbackInterface table = HostTable();
    ASSERT_EQ(UsbRedirectionMultiServerProxy_InitVhubCallback(&table), TRUE);
  }
  void TearDown() override {
    for (KapSimClient* client : clients) sim->KapSim_DestroyClient(client);
    for (DWORD session : sessions) UsbRedirectionMultiServerProxy_Unregister(session);
    USBRedir_CallbackInterface none = {};
    UsbRedirectionMultiServerProxy_InitVhubCallback(&none);
    sim->KapSim_ResetFaults();
    sim->ExpectNothingLeft(before);
  }

  bool Has(const std::string& text) { return log.Writer()->HasMessage(text); }
  void Register(DWORD session) {
    ASSERT_EQ(UsbRedirectionMultiServerProxy_Register(session), TRUE);
    sessions.push_back(session);
  }
  bool PumpUntil(DWORD session, const std::function<bool()>& done) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      UsbRedirectionMultiServerProxy_Poll(session, nullptr);
    }
    return true;
  }
  // A client with a server of its own, ready (else null), and that server's id for the host.
  KapSimClient* Connect(DWORD session, DWORD* mapped) {
    KapSimClient* client =
        sim->KapSim_ConnectClient(session, KAPSIM_CLIENT_DEFAULT, KAP_SERVICE_TALON_SESSION);
    EXPECT_NE(client, nullptr);
    if (client == nullptr) return nullptr;
    clients.push_back(client);
    bool ready =
        PumpUntil(session, [&] { return PluginOf(client).Ptr() && PluginOf(client)->IsReady(); });
    EXPECT_TRUE(ready);
    *mapped = Manager(session)->GetMappedServerIdByKapServerId(ServerOf(client));
    return ready ? client : nullptr;
  }
  static RCPtr<UsbRedirectionServerMultiServer> Manager(DWORD session) {
    AutoMutexLock lock(gUsbRedirMultiServerSessionMutex);
    return gMultiServerSessions.at(session);
  }
  KapServerID ServerOf(KapSimClient* client) { return sim->KapSim_GetClientServer(client); }
  RCPtr<UsbRedirectionServerMultiServerPlugin> PluginOf(KapSimClient* client) {
    RCPtr<RPCPluginInstance> instance = RPCManager::GetInstanceByServerId(ServerOf(client));
    return dynamic_cast<UsbRedirectionServerMultiServerPlugin*>(instance.Ptr());
  }
  // No extension for id 0, which never names a server.
  BOOL Respond(DWORD session, std::string data, USB_RedirPackageType type, DWORD mapped) {
    USBRedir_SendResponseExt ext = {mapped, 4, 2};
    BOOL sent = UsbRedirectionMultiServerProxy_SendResponse(
        session, &data[0], static_cast<uint32_t>(data.size()), type, mapped != 0 ? &ext : nullptr);
    UsbRedirectionMultiServerProxy_Poll(session, nullptr);
    return sent;
  }

  ScopedTestLogger log{LOGGER_LOG_VERBOSE};
  SimControl* sim = SimControl::Get();
  KapSimCounters before{};
  std::vector<KapSimClient*> clients;
  std::vector<DWORD> sessions;
};

}  // namespace

// Server ids come from one process-wide counter; a response goes only to the server its
// fast-queue id names.
TEST_F(MultiServerSession, ServersRequestsResponsesAndTheirEndsInOrder) {
  sim->KapSim_SetMaxVersion("Server", 0);
  EXPECT_EQ(UsbRedirectionMultiServerProxy_Register(207), FALSE);
  EXPECT_TRUE(Has("MultiServerInit() for session 207 failed.\n"));
  EXPECT_FALSE(UsbRedirectionMultiServerProxy_SessionAlreadyExists(207));
  EXPECT_EQ(sim->KapSim_GetCallCount("KAPService_MultiServerExit"), 1u);
  sim->KapSim_ResetFaults();

  DWORD a = 0, b = 0, c = 0;
  ASSERT_NO_FATAL_FAILURE(Register(201));
  KapSimClient* clientA = Connect(201, &a);
  KapSimClient* clientB = Connect(201, &b);
  ASSERT_TRUE(clientA != nullptr && clientB != nullptr);
  EXPECT_EQ(b, a + 1);
  gReply = "reply!";

  const std::string list("dev\0list", 8);
  KapSimParam post[] = {KapSimStrParam("PlugInDevice"), KapSimBlobParam(list.data(), 8)};
  KapSimParam ask[] = {KapSimStrParam("IsUsbAvailable"), KapSimStrParam("m-17"),
                       KapSimBlobParam("q", 1)};
  uint32_t postId = 0, askId = 0;
  ASSERT_EQ(sim->KapSim_SendRequest(clientA, kControl, 0, post, 2, &postId), TRUE);
  ASSERT_EQ(sim->KapSim_SendRequest(clientB, kData, 2, ask, 3, &askId), TRUE);
  ASSERT_TRUE(PumpUntil(201, [&] { return Events(MESSAGE).size() == 2; }));
  const std::string propbag = to_string(USB_REDIR_PACKAGE_TYPE_PROPBAG);
  EXPECT_EQ(Events(MESSAGE), std::vector<std::string>(
                                 {"201 " + to_string(a) + " " + propbag + " " +
                                      to_string(USB_OPERATION_TYPE_USB_DEVICE_PLUGIN) + " " + list,
                                  "201 " + to_string(b) + " " + propbag + " " +
                                      to_string(USB_OPERATION_TYPE_RUSB_ISUSBAVAILABLE) + " q"}));
  ASSERT_EQ(sim->KapSim_WaitRequest(clientB, askId, kWaitMs), KAPSIM_REQUEST_ANSWERED);
  EXPECT_EQ(sim->Reply(clientB, askId, 0) + "|" + sim->Reply(clientB, askId, 1) + "|" +
                sim->Reply(clientB, askId, 2),
            "m-17|reply!|<none>");
  EXPECT_EQ(Events(FREED), std::vector<std::string>({"6 reply!"}));

  const auto bag = USB_REDIR_PACKAGE_TYPE_PROPBAG;
  const std::string toA = "UsbRedirDataObj 0 post=1 done=0 opts=0: ";
  const struct {
    const char* what;
    std::string data;
    USB_RedirPackageType type;
    DWORD target;
    std::string messages;  // the next one of a and of b
  } cases[] = {
      {"urb to b", "urb-bytes", USB_REDIR_PACKAGE_TYPE_URB, b,
       "<none>|UsbRedirDataObj 1 post=1 done=0 opts=0: " + to_string(b) + " 4 2 urb-bytes"},
      {"propbag to a, type up to NUL", std::string("Filter\0tail", 11), bag, a,
       toA + "Filter " + std::string("Filter\0tail", 11) + "|<none>"},
      {"no ext", "lost", bag, 0, "<none>|<none>"},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.what);
    int countA = sim->KapSim_GetMessageCount(clientA);
    int countB = sim->KapSim_GetMessageCount(clientB);
    EXPECT_EQ(Respond(201, k.data, k.type, k.target), TRUE);
    EXPECT_EQ(sim->Message(clientA, countA) + "|" + sim->Message(clientB, countB), k.messages);
    EXPECT_EQ(sim->KapSim_GetMessageCount(clientA) + sim->KapSim_GetMessageCount(clientB),
              countA + countB + (k.target != 0 ? 1 : 0));
  }
  EXPECT_TRUE(Has("UsbRedirectionServerMultiServerPlugin cast failed!\n"));  // the row without ext

  ASSERT_EQ(sim->KapSim_DisconnectClient(clientA), TRUE);
  ASSERT_EQ(sim->KapSim_DisconnectClient(clientB), TRUE);
  ASSERT_TRUE(PumpUntil(201, [&] { return Events(SERVER).size() == 2; }));
  const std::string down = " " + to_string(USB_REDIR_CHANNEL_DISCONNECTED);
  EXPECT_EQ(Events(SERVER),
            std::vector<std::string>({"201 " + to_string(a) + down, "201 " + to_string(b) + down}));
  EXPECT_EQ(Manager(201)->GetKapServerIdByMappedServerId(a), nullptr);
  Manager(201)->OnServerDisconnected(reinterpret_cast<KapServerID>(0x5150));
  EXPECT_TRUE(Has("Server [0x5150] is not located."));
  EXPECT_EQ(Events(SERVER).size(), 2u);
  KapSimClient* clientC = Connect(201, &c);
  ASSERT_NE(clientC, nullptr);
  EXPECT_EQ(c, a + 2);

  // This thread serves the session it registered last; 201 stays registered.
  DWORD d = 0;
  ASSERT_NO_FATAL_FAILURE(Register(202));
  KapSimClient* clientD = Connect(202, &d);
  ASSERT_NE(clientD, nullptr);
  EXPECT_EQ(d, a + 3);  // one counter for all sessions
  EXPECT_EQ(Manager(201)->GetKapServerIdByMappedServerId(d), nullptr);  // not 201's server
  EXPECT_EQ(Manager(202)->GetKapServerIdByMappedServerId(d), ServerOf(clientD));
  EXPECT_EQ(UsbRedirectionMultiServerProxy_Register(202), TRUE);
  EXPECT_TRUE(Has("Session already exists for sessionId = 202.\n"));

  // The host hears of the end while the channel service still runs.
  UsbRedirectionMultiServerProxy_Unregister(202);
  sessions = {201};
  EXPECT_EQ(sim->KapSim_GetCallCount("KAPService_MultiServerExit"), 1u);  // counted since reset
  const std::string up = " " + to_string(USB_REDIR_CHANNEL_CONNECTED) + " exits=0";
  EXPECT_EQ(Events(CHANNEL), std::vector<std::string>(
                                 {"201" + up, "201" + up, "202" + up, "202" + down + " exits=0"}));
  EXPECT_TRUE(Has("Server exited for session 202.\n"));
  EXPECT_EQ(Respond(202, "x", USB_REDIR_PACKAGE_TYPE_URB, d), FALSE);  // also polls
  UsbRedirectionMultiServerProxy_Unregister(202);
  EXPECT_EQ(log.Writer()->CountContaining("Session 202 not exist."), 3);
}

// Tarn control messages become Filter/UnFilter posts; only the first sender is accepted.
TEST_F(MultiServerSession, TarnControlMessagesFromTheAcceptedPeerOnly) {
  ASSERT_NO_FATAL_FAILURE(Register(208));
  DWORD a = 0;
  KapSimClient* client = Connect(208, &a);
  ASSERT_NE(client, nullptr);
  EXPECT_TRUE(Has("Skip open TARN usb message channel since usb collaboration is disabled."));
  RCPtr<UsbRedirectionServerMultiServerPlugin> plugin = PluginOf(client);
  MsgChannelHandle tarn = plugin->OpenMsgChannel("UsbTarn");
  MsgChannelHandle other = plugin->OpenMsgChannel("Other");
  ASSERT_TRUE(tarn != nullptr && other != nullptr);
  ASSERT_TRUE(PumpUntil(
      208, [&] { return plugin->IsMsgChannelReady(tarn) && plugin->IsMsgChannelReady(other); }));
  UsbRedirectionServerMultiServerPluginTestPeer::HoldTarnChannel(plugin, tarn);

  const struct {
    const char* what;
    const char* channel;
    int32_t pid;
    std::string bytes;
    const char* operation;  // null: nothing sent
  } cases[] = {
      {"lost", "UsbTarn", 700, std::string("\0\0\0\0", 4), "Filter"},
      {"granted, extra bytes", "UsbTarn", 700, std::string("\1\0\0\0zz", 6), "UnFilter"},
      {"unknown status", "UsbTarn", 700, std::string("\2\0\0\0", 4), nullptr},
      {"too short", "UsbTarn", 700, std::string("\0\0", 2), nullptr},
      {"second peer", "UsbTarn", 701, std::string("\0\0\0\0", 4), nullptr},
      {"first peer again", "UsbTarn", 700, std::string("\0\0\0\0", 4), "Filter"},
      {"another channel", "Other", 700, std::string("\0\0\0\0", 4), nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    int count = sim->KapSim_GetMessageCount(client);
    ASSERT_EQ(sim->KapSim_SendToMsgChannel(client, c.channel, c.pid, "tarn", c.bytes.data(),
                                           static_cast<int>(c.bytes.size())),
              TRUE);
    UsbRedirectionMultiServerProxy_Poll(208, nullptr);
    ASSERT_EQ(sim->KapSim_GetMessageCount(client), count + (c.operation != nullptr ? 1 : 0));
    // The blob is exactly the operation's 6 or 8 bytes.
    EXPECT_TRUE(c.operation == nullptr ||
                sim->Message(client, count) == "UsbRedirDataObj 0 post=1 done=0 opts=0: " +
                                                   std::string(c.operation) + " " + c.operation);
  }
  EXPECT_TRUE(Has("Unrecognized control message: 2."));
  EXPECT_EQ(log.Writer()->CountContaining("can't be determined as TARN, message ignored."), 1);
  EXPECT_TRUE(plugin->CloseMsgChannel(other));

  // Losing the client closes the Tarn channel.
  ASSERT_EQ(sim->KapSim_DisconnectClient(client), TRUE);
  ASSERT_TRUE(PumpUntil(208, [&] { return !plugin->IsMsgChannelReady(tarn); }));
  EXPECT_EQ(sim->Counters().msgChannels, before.msgChannels);
}

// Host threads send to the ids they last heard of.
TEST_F(MultiServerSession, ServersComeAndGoWhileHostThreadsSend) {
  ASSERT_NO_FATAL_FAILURE(Register(209));
  std::atomic<DWORD> newest{0};
  std::atomic<bool> stop{false};
  std::atomic<int> sent{0};
  auto sender = [&](unsigned seed) {
    std::mt19937 rng(seed);
    char payload[32] = "urb";
    while (!stop.load()) {
      USBRedir_SendResponseExt ext = {static_cast<DWORD>(newest.load() - rng() % 3), 4, 2};
      USB_RedirPackageType type =
          rng() % 4 == 0 ? USB_REDIR_PACKAGE_TYPE_PROPBAG : USB_REDIR_PACKAGE_TYPE_URB;
      sent += UsbRedirectionMultiServerProxy_SendResponse(209, payload, 32, type, &ext) ? 1 : 0;
    }
  };
  std::vector<std::thread> senders;
  for (unsigned n = 0; n < 3; ++n) senders.emplace_back(sender, n);
  std::vector<std::pair<KapSimClient*, DWORD>> served;
  for (int round = 0; round < 6 && !HasFailure(); ++round) {
    DWORD id = 0;
    KapSimClient* client = Connect(209, &id);
    served.emplace_back(client, id);
    newest.store(id);
    UsbRedirectionMultiServerProxy_Poll(209, nullptr);
    EXPECT_TRUE(round % 2 == 0 || sim->KapSim_DisconnectClient(served[round - 1].first) == TRUE);
  }
  stop.store(true);
  for (std::thread& t : senders) t.join();
  ASSERT_FALSE(HasFailure());
  UsbRedirectionMultiServerProxy_Poll(209, nullptr);
  EXPECT_GT(sent.load(), 0);
  int delivered = 0;
  for (const auto& entry : served) {
    const std::string urbToIt =
        "UsbRedirDataObj 1 post=1 done=0 opts=0: " + to_string(entry.second) + " ";
    for (int i = 0; i < sim->KapSim_GetMessageCount(entry.first); ++i, ++delivered) {
      std::string message = sim->Message(entry.first, i);
      EXPECT_TRUE(message.rfind("UsbRedirDataObj 0 ", 0) == 0 || message.rfind(urbToIt, 0) == 0)
          << message;
    }
  }
  EXPECT_GT(delivered, 0);
}
