// Fakes that count for the channel-service framework tests: a plug-in instance that records
// every upcall, a manager whose side-channel configuration a test chooses, and a fixture
// that drives the stand-in library from the test thread (the init thread) and checks that
// no server, sink, object, context or variant outlives a test.
#ifndef TESTS_CHANNEL_CHANNELTESTSUPPORT_H
#define TESTS_CHANNEL_CHANNELTESTSUPPORT_H

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "KapSimLibrary.h"
#include "channel/KAPServiceCommand.h"
#include "channel/RPCManager.h"
#include "channel/RPCPluginInstance.h"
#include "runtime/QrEvent.h"

class CountingPlugin : public RPCPluginInstance {
 public:
  explicit CountingPlugin(RPCManager* manager)
      : RPCPluginInstance(manager), readyEvent(true, false) {}

  using RPCPluginInstance::ChannelContextInterface;
  using RPCPluginInstance::CreateExtMessage;
  using RPCPluginInstance::CreateMessage;
  using RPCPluginInstance::DestroyMessage;
  using RPCPluginInstance::GetChannelOptions;
  using RPCPluginInstance::InvokeMessage;
  using RPCPluginInstance::VariantInterface;

  void OnReady() override {
    // Alternation: a ready edge must follow a not-ready edge (or nothing).
    if (ready.exchange(true)) {
      ++badEdges;
    }
    ++readyCount;
    readyEvent.Set();
  }
  void OnNotReady() override {
    if (!ready.exchange(false)) {
      ++badEdges;
    }
    ++notReadyCount;
    readyEvent.Reset();
  }
  void OnConnectionReject() override { ++rejectCount; }
  BOOL IsEncryptionDisabled() override { return noEncryption ? TRUE : FALSE; }
  BOOL IsCompressionDisabled() override { return noCompression ? TRUE : FALSE; }
  void OnDone(uint32_t id, void* returnCtx) override {
    doneIds.push_back(id);
    doneHadContext.push_back(returnCtx != nullptr);
  }
  void OnAbort(uint32_t id, Bool userCancelled, uint32_t reason) override {
    abortIds.push_back(id);
    abortReasons.push_back(reason);
  }
  void OnInvoke(void* messageCtx) override {
    ++invokeCount;
    if (onInvoke) {
      onInvoke(messageCtx);
    }
  }
  void OnMsgChannelReady(MsgChannelHandle handle, const char* name) override {
    readyChannels.emplace_back(handle, name);
  }
  void OnMsgChannelReceived(MsgChannelHandle handle, KapMsgGroupID, KapMsgChannelID source,
                            void* msg, int len) override {
    received.push_back({handle, source, std::string(static_cast<char*>(msg), len)});
  }

  struct Received {
    MsgChannelHandle handle;
    KapMsgChannelID source;
    std::string bytes;
  };

  QrEvent readyEvent;
  std::atomic<bool> ready{false};
  std::atomic<int> readyCount{0};
  std::atomic<int> notReadyCount{0};
  std::atomic<int> badEdges{0};
  std::atomic<int> rejectCount{0};
  std::atomic<int> invokeCount{0};
  std::vector<uint32_t> doneIds;  // written on the init thread only
  std::vector<bool> doneHadContext;
  std::vector<uint32_t> abortIds;
  std::vector<uint32_t> abortReasons;
  std::function<void(void*)> onInvoke;
  // Message-channel upcalls, on the init thread only.
  std::vector<std::pair<MsgChannelHandle, std::string>> readyChannels;
  std::vector<Received> received;
  bool noEncryption = false;
  bool noCompression = false;

 protected:
  ~CountingPlugin() override = default;
};

class ConfigurableManager : public RPCManager {
 public:
  ConfigurableManager()
      : RPCManager("UsbRedirection", "UsbRedirControlObj", "UsbRedirDataObj",
                   "UsbRedirDataObjTcp") {}

  bool ConfigureTcpSideChan() override {
    m_isTcpEnabled = wantTcp;
    return !failTcpConfig;
  }
  bool ConfigureVirtualSideChan() override {
    m_isVirtualSideChannelEnabled = wantVirtual;
    m_isRIVETPrefered = wantRivet;
    return true;
  }
  void OnServerInit() override { ++serverInitCount; }
  void OnServerExit() override { ++serverExitCount; }
  // Multi-server mode: every server gets a counting instance.
  RPCPluginInstance* OnCreateServerInstance(KapServerID) override {
    return new CountingPlugin(this);
  }
  bool OnServerConnected(KAPService_SessionType type, KapServerID serverId) override {
    ++serversConnected;
    return RPCManager::OnServerConnected(type, serverId);
  }
  bool OnServerDisconnected(KapServerID serverId) override {
    ++serversDisconnected;
    return RPCManager::OnServerDisconnected(serverId);
  }

  bool wantTcp = false;
  bool wantVirtual = false;
  bool wantRivet = false;
  bool failTcpConfig = false;
  int serverInitCount = 0;
  int serverExitCount = 0;
  int serversConnected = 0;
  int serversDisconnected = 0;

 protected:
  ~ConfigurableManager() override = default;
};

// A command whose message needs no set-up and no parsing: what is left is the base class.
class PlainCommand : public KAPServiceCommand {
 public:
  using KAPServiceCommand::KAPServiceCommand;
  bool InitializeMessageContext() override { return true; }
  bool ParseMessageContext() override { return true; }
};

class ChannelFixture : public ::testing::Test {
 protected:
  static const char* ControlName() { return "UsbRedirControlObj"; }
  static const char* DataName() { return "UsbRedirDataObj"; }

  void SetUp() override {
    sim = KapSimLibrary::Get();
    ASSERT_NE(sim, nullptr);
    sim->KapSim_ResetFaults();
    sim->KapSim_GetCounters(&before);
    manager = new ConfigurableManager();
    plugin = new CountingPlugin(manager);
  }

  void TearDown() override {
    if (sim == nullptr) {
      return;
    }
    EndSession();
    plugin = nullptr;
    manager = nullptr;
    sim->KapSim_ResetFaults();
    KapSimCounters after;
    sim->KapSim_GetCounters(&after);
    EXPECT_EQ(after.servers, before.servers);
    EXPECT_EQ(after.channelSinks, before.channelSinks);
    EXPECT_EQ(after.objects, before.objects);
    EXPECT_EQ(after.contexts, before.contexts);
    EXPECT_EQ(after.variants, before.variants);
    EXPECT_EQ(after.badHandles, before.badHandles);
    EXPECT_EQ(after.badClears, before.badClears);
  }

  // Ends the clients and the server, if any; the manager and the instance stay.
  void EndSession() {
    for (KapSimClient* c : clients) {
      sim->KapSim_DestroyClient(c);
    }
    clients.clear();
    if (client != nullptr) {
      sim->KapSim_DestroyClient(client);
      client = nullptr;
    }
    if (manager.Ptr() != nullptr && manager->SessionId() != RPCManager::kNoSession) {
      if (multiServer) {
        manager->MultiServerExit(manager->SessionId(), nullptr);
      } else {
        manager->ServerExitForSession(manager->SessionId(), plugin, false);
      }
    }
    multiServer = false;
  }

  // Starts a multi-server session and connects `count` clients, each served by a server of
  // its own, until every server's instance is ready.
  void StartServers(uint32_t session, int count) {
    ASSERT_TRUE(manager->MultiServerInit(session));
    multiServer = true;
    for (int i = 0; i < count; ++i) {
      KapSimClient* c =
          sim->KapSim_ConnectClient(session, KAPSIM_CLIENT_DEFAULT, KAP_SERVICE_TALON_SESSION);
      ASSERT_NE(c, nullptr);
      clients.push_back(c);
    }
    ASSERT_TRUE(PumpUntil([&] {
      for (KapSimClient* c : clients) {
        RCPtr<CountingPlugin> instance = InstanceOf(c);
        if (instance.Ptr() == nullptr || !instance->IsReady()) {
          return false;
        }
      }
      return true;
    }));
  }

  // The instance serving a client of a multi-server session.
  RCPtr<CountingPlugin> InstanceOf(KapSimClient* c) {
    RCPtr<RPCPluginInstance> instance =
        RPCManager::GetInstanceByServerId(sim->KapSim_GetClientServer(c));
    return static_cast<CountingPlugin*>(instance.Ptr());
  }

  // A fresh manager and instance for the next case of a table-driven test.
  void Restart() {
    EndSession();
    manager = new ConfigurableManager();
    plugin = new CountingPlugin(manager);
  }

  // Polls from this (the init) thread until `done` holds; false after msTimeout.
  bool PumpUntil(const std::function<bool()>& done, int msTimeout = 3000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(msTimeout);
    std::vector<QrEvent*> none;
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) {
        return false;
      }
      manager->PollWaitMultiple(none, false, 10, false);
    }
    return true;
  }

  // Polls for a while so that every queued notification is delivered.
  void Drain(int ms = 50) {
    std::vector<QrEvent*> none;
    manager->PollWaitMultiple(none, false, static_cast<uint32_t>(ms), false);
  }

  uint64_t Calls(const char* function) { return sim->KapSim_GetCallCount(function); }

  // Starts the server for `session` and connects a client; nothing has been polled yet.
  // Callers wrap it in ASSERT_NO_FATAL_FAILURE so that a failure ends the test.
  void StartAndConnect(uint32_t session, uint32_t clientOptions = KAPSIM_CLIENT_DEFAULT,
                       KAPService_SessionType type = KAP_SERVICE_TALON_SESSION) {
    ASSERT_TRUE(manager->ServerInitForSession(session, plugin, 0));
    client = sim->KapSim_ConnectClient(session, clientOptions, type);
    ASSERT_NE(client, nullptr);
  }

  // Starts the server for `session` and connects a client until the instance is ready.
  void StartReady(uint32_t session, uint32_t clientOptions = KAPSIM_CLIENT_DEFAULT,
                  KAPService_SessionType type = KAP_SERVICE_TALON_SESSION) {
    ASSERT_NO_FATAL_FAILURE(StartAndConnect(session, clientOptions, type));
    ASSERT_TRUE(PumpUntil([&] { return plugin->IsReady(); }));
  }

  KapSimLibrary* sim = nullptr;
  KapSimCounters before{};
  RCPtr<ConfigurableManager> manager;
  RCPtr<CountingPlugin> plugin;
  KapSimClient* client = nullptr;
  std::vector<KapSimClient*> clients;  // of a multi-server session
  bool multiServer = false;
};

#endif  // TESTS_CHANNEL_CHANNELTESTSUPPORT_H
