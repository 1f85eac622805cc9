// The stand-in's control API (sharing the framework's dlopen), a recording instance, a
// configurable manager, and a fixture after which nothing the stand-in counts may be left.
#ifndef TESTS_CHANNEL_CHANNELTESTSUPPORT_H
#define TESTS_CHANNEL_CHANNELTESTSUPPORT_H

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "KapSimLibrary.h"
#include "channel/KAPServiceCommand.h"
#include "channel/RPCManager.h"
#include "channel/RPCPluginInstance.h"
#include "support/ScopedTestLogger.h"

struct SimControl : KapSimLibrary {
  // Loaded once, with KAPSERVICE_PATH naming it; null (and a failure) when it cannot be.
  static SimControl* Get() {
    static SimControl* s_library = [] {
      setenv("KAPSERVICE_PATH", KAPSERVICE_SIM_PATH, 1);
      auto* lib = new SimControl();
      std::string error;
      bool ok = lib->Load(KAPSERVICE_SIM_PATH, &error);
      EXPECT_TRUE(ok) << "cannot load " << KAPSERVICE_SIM_PATH << ": " << error;
      return ok ? lib : nullptr;
    }();
    return s_library;
  }

  KapSimCounters Counters() {
    KapSimCounters counters;
    KapSim_GetCounters(&counters);
    return counters;
  }
  void ExpectNothingLeft(const KapSimCounters& before) {
    KapSimCounters after = Counters();
    for (auto live :
         {&KapSimCounters::servers, &KapSimCounters::serverSinks, &KapSimCounters::channelSinks,
          &KapSimCounters::objects, &KapSimCounters::contexts, &KapSimCounters::variants,
          &KapSimCounters::msgChannels}) {
      EXPECT_EQ(after.*live, before.*live);
    }
    EXPECT_EQ(after.badHandles, before.badHandles);
    EXPECT_EQ(after.badClears, before.badClears);
  }
  std::string Reply(KapSimClient* c, uint32_t requestId, int index) {
    const char* name = nullptr;
    const KAP_RPC_VARIANT* value = nullptr;
    KapSim_GetReplyValue(c, requestId, index, &name, &value);
    return Text(value);
  }
  // "<object> <command> post=<0|1> done=<0|1> opts=<n>:" and " <Text>" per parameter.
  std::string Message(KapSimClient* c, int index) {
    KapSimMessage m;
    if (KapSim_GetMessage(c, index, &m) != TRUE) return "<none>";
    std::string out = std::string(m.objectName) + " " + std::to_string(m.command) +
                      " post=" + std::to_string(m.postMode) +
                      " done=" + std::to_string(m.completionWanted) +
                      " opts=" + std::to_string(m.contextOptions) + ":";
    for (int i = 0; i < m.paramCount; ++i) {
      const char* name = nullptr;
      const KAP_RPC_VARIANT* value = nullptr;
      KapSim_GetMessageParam(c, index, i, &name, &value);
      out += " " + Text(value);
    }
    return out;
  }
  // A string or blob as its bytes, a number in decimal, none as "<none>".
  static std::string Text(const KAP_RPC_VARIANT* v) {
    if (v == nullptr) return "<none>";
    if (v->vt == KAP_RPC_VT_LPSTR) return v->strVal;
    if (v->vt == KAP_RPC_VT_BLOB) return std::string(v->blobVal.blobData, v->blobVal.size);
    return std::to_string(v->vt == KAP_RPC_VT_UI4 ? v->ulVal : v->ullVal);
  }
};

class CountingPlugin : public RPCPluginInstance {
 public:
  explicit CountingPlugin(RPCManager* manager) : RPCPluginInstance(manager) {}

  // Edges must alternate, starting with ready.
  void OnReady() override {
    badEdges += ready.exchange(true) ? 1 : 0;
    ++readyCount;
  }
  void OnNotReady() override {
    badEdges += ready.exchange(false) ? 0 : 1;
    ++notReadyCount;
  }
  void OnConnectionReject() override { ++rejectCount; }
  BOOL IsEncryptionDisabled() override { return noEncryption ? TRUE : FALSE; }
  BOOL IsCompressionDisabled() override { return noCompression ? TRUE : FALSE; }
  void OnDone(uint32_t id, void* returnCtx) override {
    doneIds.push_back(returnCtx != nullptr ? id : ~id);
  }
  void OnAbort(uint32_t, Bool, uint32_t reason) override { abortReasons.push_back(reason); }
  void OnMsgChannelReady(MsgChannelHandle handle, const char* name) override {
    readyChannels.emplace_back(handle, name);
  }
  void OnMsgChannelReceived(MsgChannelHandle handle, KapMsgGroupID, KapMsgChannelID source,
                            void* msg, int len) override {
    EXPECT_TRUE(!readyChannels.empty() && handle == readyChannels[0].first);
    received.emplace_back(source, std::string(static_cast<char*>(msg), len));
  }

  std::atomic<bool> ready{false};
  std::atomic<int> readyCount{0}, notReadyCount{0}, badEdges{0}, rejectCount{0};
  // Init thread only. A done id is inverted when it came without a context.
  std::vector<uint32_t> doneIds, abortReasons;
  std::vector<std::pair<MsgChannelHandle, std::string>> readyChannels;
  std::vector<std::pair<KapMsgChannelID, std::string>> received;
  bool noEncryption = false, noCompression = false;

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
  void OnServerInit() override { ++serverInits; }
  void OnServerExit() override { ++serverExits; }
  RPCPluginInstance* OnCreateServerInstance(KapServerID) override {
    return new CountingPlugin(this);
  }
  bool OnServerDisconnected(KapServerID serverId) override {
    ++serversDisconnected;
    return RPCManager::OnServerDisconnected(serverId);
  }

  bool wantTcp = false, wantVirtual = false, wantRivet = false, failTcpConfig = false;
  int serverInits = 0, serverExits = 0, serversDisconnected = 0;

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

// Logs into a verbose recording logger when the parameter is true; else what formats nothing runs.
class ChannelFixture : public ::testing::TestWithParam<bool> {
 protected:
  static constexpr const char* kControl = "UsbRedirControlObj";
  static constexpr const char* kData = "UsbRedirDataObj";
  static constexpr auto kDataChan = RPCPluginInstance::RPC_CHANNEL_TYPE_DATA;
  static constexpr auto kControlChan = RPCPluginInstance::RPC_CHANNEL_TYPE_CONTROL;

  void SetUp() override {
    if (GetParam()) log.reset(new ScopedTestLogger(LOGGER_LOG_VERBOSE));
    ASSERT_TRUE(log == nullptr || log->Started());
    sim = SimControl::Get();
    ASSERT_NE(sim, nullptr);
    before = sim->Counters();
    Restart();
  }

  void TearDown() override {
    if (sim != nullptr) {
      EndSession();
      plugin = nullptr;
      manager = nullptr;
      sim->ExpectNothingLeft(before);
    }
    log.reset();
  }

  void EndSession() {
    for (KapSimClient* c : clients) sim->KapSim_DestroyClient(c);
    clients.clear();
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

  void Restart() {
    EndSession();
    sim->KapSim_ResetFaults();
    manager = new ConfigurableManager();
    plugin = new CountingPlugin(manager);
    if (log) log->Writer()->Clear();
  }

  // Multi-server mode: `count` clients, each with a server of its own, until all are ready.
  void StartServers(uint32_t session, int count) {
    ASSERT_TRUE(manager->MultiServerInit(session));
    multiServer = true;
    for (int i = 0; i < count; ++i) {
      ASSERT_NO_FATAL_FAILURE(Reconnect(session));
      ASSERT_TRUE(PumpUntil([&] { return InstanceOf(client) && InstanceOf(client)->IsReady(); }));
    }
  }
  RCPtr<CountingPlugin> InstanceOf(KapSimClient* c) {
    return static_cast<CountingPlugin*>(
        RPCManager::GetInstanceByServerId(sim->KapSim_GetClientServer(c)).Ptr());
  }

  // Polls from this (the init) thread.
  bool PumpUntil(const std::function<bool()>& done, int msTimeout = 3000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(msTimeout);
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      Drain(10);
    }
    return true;
  }
  void Drain(int ms = 50) {
    manager->PollWaitMultiple(noEvents, false, static_cast<uint32_t>(ms), false);
  }
  static int64_t MsTaken(const std::function<void()>& run) {
    auto start = std::chrono::steady_clock::now();
    run();
    auto elapsed = std::chrono::steady_clock::now() - start;
    return std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
  }

  uint64_t Calls(const char* function) { return sim->KapSim_GetCallCount(function); }

  // Nothing is polled.
  void StartAndConnect(uint32_t session, uint32_t clientOptions = KAPSIM_CLIENT_DEFAULT,
                       KAPService_SessionType type = KAP_SERVICE_TALON_SESSION) {
    ASSERT_TRUE(manager->ServerInitForSession(session, plugin, 0));
    ASSERT_NO_FATAL_FAILURE(Reconnect(session, clientOptions, type));
  }
  // A single-server session's previous client goes.
  void Reconnect(uint32_t session, uint32_t clientOptions = KAPSIM_CLIENT_DEFAULT,
                 KAPService_SessionType type = KAP_SERVICE_TALON_SESSION) {
    if (client != nullptr && !multiServer) {
      sim->KapSim_DestroyClient(client);
      clients.pop_back();
    }
    client = sim->KapSim_ConnectClient(session, clientOptions, type);
    ASSERT_NE(client, nullptr);
    clients.push_back(client);
  }
  void StartReady(uint32_t session, uint32_t clientOptions = KAPSIM_CLIENT_DEFAULT,
                  KAPService_SessionType type = KAP_SERVICE_TALON_SESSION) {
    ASSERT_NO_FATAL_FAILURE(StartAndConnect(session, clientOptions, type));
    ASSERT_TRUE(PumpUntil([&] { return plugin->IsReady(); }));
  }

  bool Send(RPCPluginInstance::RPCChannelType type) {
    void* ctx = nullptr;
    if (!plugin->CreateMessage(&ctx, type)) return false;
    bool invoked = plugin->InvokeMessage(ctx, TRUE, type);
    return plugin->DestroyMessage(ctx) && invoked;
  }

  // Logging is synchronous; true without a logger.
  bool Logged(const std::string& fragment) {
    return !log || log->Writer()->CountContaining(fragment) > 0;
  }

  std::unique_ptr<ScopedTestLogger> log;
  SimControl* sim = nullptr;
  KapSimCounters before{};
  RCPtr<ConfigurableManager> manager;
  RCPtr<CountingPlugin> plugin;
  KapSimClient* client = nullptr;      // the newest
  std::vector<KapSimClient*> clients;  // all of them, destroyed at the end
  bool multiServer = false;
  std::vector<QrEvent*> noEvents;
};

#define LOGGED_AND_QUIET(suite)                                               \
  INSTANTIATE_TEST_SUITE_P(, suite, ::testing::Bool(), [](const auto& info) { \
    return std::string(info.param ? "Logged" : "Quiet");                      \
  })
#endif  // TESTS_CHANNEL_CHANNELTESTSUPPORT_H
