// Channel framework test fakes: an instance that records every upcall, a manager whose
// side-channel choices a test sets, and a fixture that drives the stand-in from the test
// (init) thread and checks that nothing the stand-in counts outlives a test.
#ifndef TESTS_CHANNEL_CHANNELTESTSUPPORT_H
#define TESTS_CHANNEL_CHANNELTESTSUPPORT_H

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "KapSimLibrary.h"
#include "channel/KAPServiceCommand.h"
#include "channel/RPCManager.h"
#include "channel/RPCPluginInstance.h"
#include "runtime/QrEvent.h"
#include "support/ScopedTestLogger.h"

using Clock = std::chrono::steady_clock;
inline int64_t MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

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

  // A ready edge must follow a not-ready edge (or nothing), and back.
  void OnReady() override {
    badEdges += ready.exchange(true) ? 1 : 0;
    ++readyCount;
    readyEvent.Set();
  }
  void OnNotReady() override {
    badEdges += ready.exchange(false) ? 0 : 1;
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
  void OnAbort(uint32_t id, Bool, uint32_t reason) override { abortReasons.push_back(reason); }
  void OnInvoke(void* messageCtx) override {
    ++invokeCount;
    if (onInvoke) onInvoke(messageCtx);
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
  std::atomic<int> readyCount{0}, notReadyCount{0}, badEdges{0}, rejectCount{0}, invokeCount{0};
  // Written on the init thread only.
  std::vector<uint32_t> doneIds, abortReasons;
  std::vector<bool> doneHadContext;
  std::function<void(void*)> onInvoke;
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

  bool wantTcp = false, wantVirtual = false, wantRivet = false, failTcpConfig = false;
  int serverInitCount = 0, serverExitCount = 0, serversConnected = 0, serversDisconnected = 0;

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
  static constexpr const char* kControl = "UsbRedirControlObj";
  static constexpr const char* kData = "UsbRedirDataObj";
  static constexpr auto kDataChan = RPCPluginInstance::RPC_CHANNEL_TYPE_DATA;
  static constexpr auto kControlChan = RPCPluginInstance::RPC_CHANNEL_TYPE_CONTROL;

  void SetUp() override {
    sim = KapSimLibrary::Get();
    ASSERT_NE(sim, nullptr);
    sim->KapSim_ResetFaults();
    sim->KapSim_GetCounters(&before);
    manager = new ConfigurableManager();
    plugin = new CountingPlugin(manager);
  }

  void TearDown() override {
    if (sim == nullptr) return;
    EndSession();
    plugin = nullptr;
    manager = nullptr;
    sim->KapSim_ResetFaults();
    ExpectNothingLeft(sim, before);
  }

  void EndSession() {
    for (KapSimClient* c : clients) sim->KapSim_DestroyClient(c);
    clients.clear();
    if (client != nullptr) sim->KapSim_DestroyClient(client);
    client = nullptr;
    if (manager.Ptr() != nullptr && manager->SessionId() != RPCManager::kNoSession) {
      if (multiServer) {
        manager->MultiServerExit(manager->SessionId(), nullptr);
      } else {
        manager->ServerExitForSession(manager->SessionId(), plugin, false);
      }
    }
    multiServer = false;
  }

  // A fresh manager and instance, no faults, for a table's next row.
  void Restart() {
    EndSession();
    sim->KapSim_ResetFaults();
    manager = new ConfigurableManager();
    plugin = new CountingPlugin(manager);
  }

  // Connects a client (served by a server of its own) until its instance is ready.
  void AddServer(uint32_t session) {
    KapSimClient* c =
        sim->KapSim_ConnectClient(session, KAPSIM_CLIENT_DEFAULT, KAP_SERVICE_TALON_SESSION);
    ASSERT_NE(c, nullptr);
    clients.push_back(c);
    ASSERT_TRUE(PumpUntil([&] {
      RCPtr<CountingPlugin> instance = InstanceOf(c);
      return instance.Ptr() != nullptr && instance->IsReady();
    }));
  }
  void StartServers(uint32_t session, int count) {
    ASSERT_TRUE(manager->MultiServerInit(session));
    multiServer = true;
    for (int i = 0; i < count; ++i) ASSERT_NO_FATAL_FAILURE(AddServer(session));
  }

  RCPtr<CountingPlugin> InstanceOf(KapSimClient* c) {
    RCPtr<RPCPluginInstance> instance =
        RPCManager::GetInstanceByServerId(sim->KapSim_GetClientServer(c));
    return static_cast<CountingPlugin*>(instance.Ptr());
  }

  // Polls from this (the init) thread until `done` holds; false after msTimeout.
  bool PumpUntil(const std::function<bool()>& done, int msTimeout = 3000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(msTimeout);
    std::vector<QrEvent*> none;
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      manager->PollWaitMultiple(none, false, 10, false);
    }
    return true;
  }

  void Drain(int ms = 50) {
    std::vector<QrEvent*> none;
    manager->PollWaitMultiple(none, false, static_cast<uint32_t>(ms), false);
  }

  uint64_t Calls(const char* function) { return sim->KapSim_GetCallCount(function); }

  // Starts the server for `session` and connects a client; nothing is polled.
  void StartAndConnect(uint32_t session, uint32_t clientOptions = KAPSIM_CLIENT_DEFAULT,
                       KAPService_SessionType type = KAP_SERVICE_TALON_SESSION) {
    ASSERT_TRUE(manager->ServerInitForSession(session, plugin, 0));
    ASSERT_NO_FATAL_FAILURE(Reconnect(session, clientOptions, type));
  }
  void Reconnect(uint32_t session, uint32_t clientOptions = KAPSIM_CLIENT_DEFAULT,
                 KAPService_SessionType type = KAP_SERVICE_TALON_SESSION) {
    if (client != nullptr) sim->KapSim_DestroyClient(client);
    client = sim->KapSim_ConnectClient(session, clientOptions, type);
    ASSERT_NE(client, nullptr);
  }

  void StartReady(uint32_t session, uint32_t clientOptions = KAPSIM_CLIENT_DEFAULT,
                  KAPService_SessionType type = KAP_SERVICE_TALON_SESSION) {
    ASSERT_NO_FATAL_FAILURE(StartAndConnect(session, clientOptions, type));
    ASSERT_TRUE(PumpUntil([&] { return plugin->IsReady(); }));
  }

  // A message created, invoked and destroyed; false when any step failed.
  bool Send(RPCPluginInstance::RPCChannelType type, BOOL wantCompletion) {
    void* ctx = nullptr;
    if (!plugin->CreateMessage(&ctx, type)) return false;
    bool invoked = plugin->InvokeMessage(ctx, wantCompletion, type);
    return plugin->DestroyMessage(ctx) && invoked;
  }

  KapSimLibrary* sim = nullptr;
  KapSimCounters before{};
  RCPtr<ConfigurableManager> manager;
  RCPtr<CountingPlugin> plugin;
  KapSimClient* client = nullptr;
  std::vector<KapSimClient*> clients;  // of a multi-server session
  bool multiServer = false;
};

// Run with a verbose recording logger (texts checked) and without one (the paths that
// format nothing; text checks pass).
class LoggedChannelFixture : public ChannelFixture, public ::testing::WithParamInterface<bool> {
 protected:
  void SetUp() override {
    if (GetParam()) log.reset(new ScopedTestLogger(LOGGER_LOG_VERBOSE));
    ASSERT_TRUE(log == nullptr || log->Started());
    ChannelFixture::SetUp();
  }
  void TearDown() override {
    ChannelFixture::TearDown();
    log.reset();
  }
  bool HasLine(const std::string& text) { return !log || log->Writer()->HasMessage(text); }
  // A line containing `fragment` within 2 s (the logger's thread may write it).
  bool Logged(const std::string& fragment) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (log && log->Writer()->CountContaining(fragment) == 0) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
  }

  std::unique_ptr<ScopedTestLogger> log;
};

#define LOGGED_AND_QUIET(suite)                                               \
  INSTANTIATE_TEST_SUITE_P(, suite, ::testing::Bool(), [](const auto& info) { \
    return std::string(info.param ? "Logged" : "Quiet");                      \
  })

#endif  // TESTS_CHANNEL_CHANNELTESTSUPPORT_H
