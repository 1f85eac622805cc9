// A recording host and a fixture for the multi-server tests: sessions are registered and
// polled from the test thread through the internal UsbRedirectionMultiServerProxy_* entry
// points, clients are played through the stand-in channel service, and nothing the
// stand-in counts may outlive a test.
#ifndef TESTS_MULTISERVER_MULTISERVERTESTSUPPORT_H
#define TESTS_MULTISERVER_MULTISERVERTESTSUPPORT_H

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../channel/KapSimLibrary.h"
#include "multiserver/UsbRedirectionMultiServerProxy.h"
#include "multiserver/UsbRedirectionServerMultiServerPlugin.h"
#include "runtime/AutoMutexLock.h"
#include "support/ScopedTestLogger.h"

// What the plug-in told the host, in order. Thread safe: one mutex guards everything.
class RecordingHost {
 public:
  enum Kind { CHANNEL, SERVER, MESSAGE, FREED };
  struct Event {
    Kind kind;
    DWORD session, server;
    int value;              // the state, the package type of a message or the length freed
    uint64_t serviceExits;  // of a CHANNEL notice: KAPService_MultiServerExit calls so far
    USB_OperationType op;
    std::string bytes;
  };

  static RecordingHost& Get() {
    static RecordingHost s_host;
    return s_host;
  }

  static USBRedir_CallbackInterface Table() {
    USBRedir_CallbackInterface table = {};
    table.version = 3;
    table.v1.OnChannelStateChange = OnChannelStateChange;
    table.v2.OnKapServerStateChange = OnKapServerStateChange;
    table.v2.OnMessageArrive = OnMessageArrive;
    table.v3.kapvhubFree = KapvhubFree;
    return table;
  }

  void Reset() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_events.clear();
    m_reply.clear();
  }
  // What the host answers to a request that takes a reply; empty: no reply.
  void SetReply(const std::string& reply) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_reply = reply;
  }
  std::vector<Event> Events(Kind kind) {
    std::lock_guard<std::mutex> guard(m_lock);
    std::vector<Event> out;
    for (const Event& e : m_events) {
      if (e.kind == kind) out.push_back(e);
    }
    return out;
  }

 private:
  void Add(Event e) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_events.push_back(std::move(e));
  }
  static void OnChannelStateChange(DWORD session, USB_RedirChannelState state) {
    uint64_t exits = KapSimLibrary::Get()->KapSim_GetCallCount("KAPService_MultiServerExit");
    Get().Add({CHANNEL, session, 0, state, exits, USB_OPERATION_TYPE_UNKNOWN, ""});
  }
  static void OnKapServerStateChange(DWORD session, DWORD server, USB_RedirChannelState state) {
    Get().Add({SERVER, session, server, state, 0, USB_OPERATION_TYPE_UNKNOWN, ""});
  }
  static void OnMessageArrive(DWORD session, DWORD server, char* msg, uint32_t length,
                              USB_RedirPackageType type, USB_OperationType op, char** resp,
                              uint32_t* respLength) {
    Get().Add({MESSAGE, session, server, type, 0, op, std::string(msg, length)});
    std::lock_guard<std::mutex> guard(Get().m_lock);
    if (resp != nullptr && respLength != nullptr && !Get().m_reply.empty()) {
      *resp = static_cast<char*>(malloc(Get().m_reply.size()));
      memcpy(*resp, Get().m_reply.data(), Get().m_reply.size());
      *respLength = static_cast<uint32_t>(Get().m_reply.size());
    }
  }
  static void KapvhubFree(char* buffer, uint32_t length) {
    Get().Add({FREED, 0, 0, static_cast<int>(length), 0, USB_OPERATION_TYPE_UNKNOWN,
               std::string(buffer, length)});
    free(buffer);
  }

  std::mutex m_lock;
  std::vector<Event> m_events;  // guarded by m_lock
  std::string m_reply;          // guarded by m_lock
};

// Reaches the Tarn channel handle, which this design never opens by itself.
class UsbRedirectionServerMultiServerPluginTestPeer {
 public:
  static void HoldTarnChannel(UsbRedirectionServerMultiServerPlugin* plugin,
                              MsgChannelHandle handle) {
    plugin->mTarnUsbChannelHandle = handle;
  }
};

class MultiServerFixture : public ::testing::Test {
 protected:
  static constexpr int kWaitMs = 10000;  // generous: a loaded 2-core machine

  void SetUp() override {
    log.reset(new ScopedTestLogger(LOGGER_LOG_VERBOSE));
    sim = KapSimLibrary::Get();
    ASSERT_NE(sim, nullptr);
    sim->KapSim_ResetFaults();
    sim->KapSim_GetCounters(&before);
    RecordingHost::Get().Reset();
    USBRedir_CallbackInterface table = RecordingHost::Table();
    ASSERT_EQ(UsbRedirectionMultiServerProxy_InitVhubCallback(&table), TRUE);
  }

  void TearDown() override {
    for (KapSimClient* client : clients) sim->KapSim_DestroyClient(client);
    for (DWORD session : sessions) UsbRedirectionMultiServerProxy_Unregister(session);
    USBRedir_CallbackInterface none = {};
    UsbRedirectionMultiServerProxy_InitVhubCallback(&none);
    sim->KapSim_ResetFaults();
    ExpectNothingLeft(sim, before);
    log.reset();
  }

  bool Has(const std::string& text) { return log->Writer()->HasMessage(text); }
  std::vector<RecordingHost::Event> Events(RecordingHost::Kind kind) {
    return RecordingHost::Get().Events(kind);
  }

  void Register(DWORD session) {
    ASSERT_EQ(UsbRedirectionMultiServerProxy_Register(session), TRUE);
    sessions.push_back(session);
  }

  // Polls the session from this (its registering) thread until `done` holds.
  bool PumpUntil(DWORD session, const std::function<bool()>& done) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      UsbRedirectionMultiServerProxy_Poll(session, nullptr);
    }
    return true;
  }

  // Connects a client, which gets a server of its own, and polls until the server's
  // instance is ready. Answers the client; *mapped is the server's id for the host.
  KapSimClient* Connect(DWORD session, DWORD* mapped) {
    KapSimClient* client =
        sim->KapSim_ConnectClient(session, KAPSIM_CLIENT_DEFAULT, KAP_SERVICE_TALON_SESSION);
    EXPECT_NE(client, nullptr);
    if (client == nullptr) return nullptr;
    clients.push_back(client);
    ++s_connections;
    EXPECT_TRUE(PumpUntil(session, [&] {
      RCPtr<UsbRedirectionServerMultiServerPlugin> plugin = PluginOf(session, client);
      return plugin.Ptr() != nullptr && plugin->IsReady();
    }));
    *mapped = Manager(session)->GetMappedServerIdByKapServerId(ServerOf(client));
    return client;
  }

  static RCPtr<UsbRedirectionServerMultiServer> Manager(DWORD session) {
    AutoMutexLock lock(gUsbRedirMultiServerSessionMutex);
    auto found = gMultiServerSessions.find(session);
    return found != gMultiServerSessions.end() ? found->second
                                               : RCPtr<UsbRedirectionServerMultiServer>();
  }
  KapServerID ServerOf(KapSimClient* client) { return sim->KapSim_GetClientServer(client); }
  RCPtr<UsbRedirectionServerMultiServerPlugin> PluginOf(DWORD session, KapSimClient* client) {
    KapServerID server = ServerOf(client);
    if (Manager(session).Ptr() == nullptr || server == nullptr) return nullptr;
    RCPtr<RPCPluginInstance> instance = RPCManager::GetInstanceByServerId(server);
    return dynamic_cast<UsbRedirectionServerMultiServerPlugin*>(instance.Ptr());
  }

  // A fast-queue id naming the server the response is for.
  static USBRedir_SendResponseExt Ext(DWORD mapped) {
    USBRedir_SendResponseExt ext = {};
    ext.fastQueueId = mapped;
    ext.headerLength = 4;
    ext.trailerLength = 2;
    return ext;
  }

  std::string Param(KapSimClient* client, int index, int param) {
    return MessageParam(sim, client, index, param);
  }

  // The number of connections the test binary made; the next server's mapped id is one
  // more, because the ids come from one process-wide counter starting at 1.
  static inline DWORD s_connections = 0;

  std::unique_ptr<ScopedTestLogger> log;
  KapSimLibrary* sim = nullptr;
  KapSimCounters before{};
  std::vector<KapSimClient*> clients;
  std::vector<DWORD> sessions;
};

#endif  // TESTS_MULTISERVER_MULTISERVERTESTSUPPORT_H
