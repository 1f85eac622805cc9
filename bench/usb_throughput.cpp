// URB throughput of the built plug-in through its exported functions, against the stand-in
// channel service, next to two baselines measured in the same run: memcpy of the same bytes
// and the stand-in alone driving a server that does the least any server must
// (UsbStandInServer). Both directions, payloads of 64 B to 1 MiB, at the default log level.
//
//  client->host: the simulated client posts URBs (command 1, one blob) on the data object,
//    keeping kWindow of them in flight; a URB counts once the server's invoke has returned,
//    which for the plug-in means the host's OnMessageArrive has run.
//  host->client: the host calls SendResponse (the stand-in path posts the same four
//    parameters itself); the post is in the client's inbox when the call returns. Every
//    kInboxBytes the client is replaced, outside the timing, so its inbox does not grow.
//
// Both paths use one handler for the delivered bytes, one window and one recycling rule.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "KapSimLibrary.h"
#include "UsbStandInServer.h"
#include "VhubHost.h"

namespace {

const char* const kDataObject = "UsbRedirDataObj";
const uint32_t kWaitMs = 20000;
const int kWindow = 16;                  // URBs in flight, like a device's queue depth
const size_t kInboxBytes = 32u << 20;    // replace the client after this much host->client
const size_t kInboxMessages = 8192;      // ... or this many messages
const uint32_t kPluginSession = 41;
const uint32_t kStandInSession = 42;
const int64_t kSizes[] = {64, 4 << 10, 64 << 10, 1 << 20};

// ---- The trivial consumer both paths deliver to ----

std::atomic<uint64_t> g_delivered{0};
std::atomic<uint64_t> g_deliveredBytes{0};
std::atomic<uint32_t> g_touch{0};

void Consume(const char* data, uint32_t size) {
  if (data != nullptr && size != 0) {
    // Reads the bytes' ends, as a consumer that looks at the URB header and its tail would.
    g_touch.fetch_add(static_cast<unsigned char>(data[0]) ^
                          static_cast<unsigned char>(data[size - 1]),
                      std::memory_order_relaxed);
  }
  g_deliveredBytes.fetch_add(size, std::memory_order_relaxed);
  g_delivered.fetch_add(1, std::memory_order_release);
}

// ---- The plug-in, loaded once, with a host callback table of its own ----

std::mutex g_stateLock;
std::condition_variable g_stateChanged;
uint64_t g_connected = 0;     // guarded by g_stateLock
uint64_t g_disconnected = 0;  // guarded by g_stateLock

void OnChannelStateChange(DWORD, USB_RedirChannelState state) {
  {
    std::lock_guard<std::mutex> lock(g_stateLock);
    (state == USB_REDIR_CHANNEL_CONNECTED ? g_connected : g_disconnected) += 1;
  }
  g_stateChanged.notify_all();
}

void OnMessageArrive(DWORD, char* msg, uint32_t msgLength, USB_RedirPackageType,
                     USB_OperationType, char**, uint32_t*) {
  Consume(msg, msgLength);
}

bool WaitConnectedCount(uint64_t count) {
  std::unique_lock<std::mutex> lock(g_stateLock);
  return g_stateChanged.wait_for(lock, std::chrono::milliseconds(kWaitMs),
                                 [&]() { return g_connected >= count; });
}

uint64_t ConnectedCount() {
  std::lock_guard<std::mutex> lock(g_stateLock);
  return g_connected;
}

// The stand-in and the plug-in, loaded once for the whole run. The host object is only the
// loader here: sessions run on threads of this file so that the callbacks are the trivial ones.
struct World {
  KapSimLibrary sim;  // declared first: unloaded after the plug-in
  std::unique_ptr<VhubHost> host;
  std::string error;

  World() {
    setenv("KAPSERVICE_PATH", KAPSERVICE_SIM_PATH, 1);
    if (!sim.Load(KAPSERVICE_SIM_PATH, &error)) {
      return;
    }
    auto loaded = std::make_unique<VhubHost>(USBREDIR_PLUGIN_PATH);
    if (!loaded->Load(&error)) {
      return;
    }
    loaded->Init();
    USBRedir_CallbackInterface table = {};
    table.version = 1;
    table.v1.OnChannelStateChange = &OnChannelStateChange;
    table.v1.OnMessageArrive = &OnMessageArrive;
    if (loaded->Entry().InitVhubCallback(&table) != TRUE) {
      error = "InitVhubCallback failed";
      return;
    }
    host = std::move(loaded);
  }

  static World& Get() {
    static World s_world;
    return s_world;
  }
};

// One registered plug-in session, polled on its own thread as the hub daemon does.
class PluginSession {
 public:
  explicit PluginSession(World* world) : m_entry(world->host->Entry()) {
    std::atomic<int> registered{0};
    m_thread = std::thread([this, &registered]() {
      bool ok = m_entry.Register(kPluginSession) == TRUE;
      registered.store(ok ? 1 : -1);
      if (ok) {
        m_entry.Poll(kPluginSession, nullptr);
      }
    });
    while (registered.load() == 0) {
      std::this_thread::yield();
    }
    m_registered = registered.load() > 0;
  }
  ~PluginSession() {
    if (m_registered) {
      m_entry.Stop(kPluginSession);
    }
    m_thread.join();
    if (m_registered) {
      m_entry.Unregister(kPluginSession);
    }
  }
  PluginSession(const PluginSession&) = delete;
  PluginSession& operator=(const PluginSession&) = delete;

  bool Registered() const { return m_registered; }

 private:
  const VhubHost::EntryPoints& m_entry;
  bool m_registered = false;
  std::thread m_thread;
};

// ---- The client side, the same for both paths ----

class Client {
 public:
  Client(KapSimLibrary* sim, uint32_t sessionId, bool plugin)
      : m_sim(sim), m_sessionId(sessionId), m_plugin(plugin) {}
  ~Client() { Drop(); }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  KapSimClient* Get() const { return m_client; }

  // Connects and waits until the server can use the data object (and, for the plug-in,
  // until the host has been told CONNECTED).
  bool Connect() {
    uint64_t connected = m_plugin ? ConnectedCount() : 0;
    m_client = m_sim->KapSim_ConnectClient(m_sessionId, KAPSIM_CLIENT_DEFAULT,
                                           KAP_SERVICE_TALON_SESSION);
    return m_client != nullptr &&
           m_sim->KapSim_WaitObjectState(m_client, kDataObject, KAP_RPC_OBJ_CONNECTED,
                                         kWaitMs) == TRUE &&
           (!m_plugin || WaitConnectedCount(connected + 1));
  }

  // Disconnects and waits until the server has seen it, then frees the client's records.
  void Drop() {
    if (m_client == nullptr) {
      return;
    }
    if (m_sim->KapSim_DisconnectClient(m_client) == TRUE) {
      m_sim->KapSim_WaitChannelState(m_client, KAP_SERVICE_CHAN_DISCONNECTED, kWaitMs);
    }
    m_sim->KapSim_DestroyClient(m_client);
    m_client = nullptr;
  }

  bool Reconnect() {
    Drop();
    return Connect();
  }

 private:
  KapSimLibrary* m_sim;
  const uint32_t m_sessionId;
  const bool m_plugin;
  KapSimClient* m_client = nullptr;
};

void SetRates(benchmark::State& state, int64_t messages, int64_t size) {
  state.SetItemsProcessed(messages);
  state.SetBytesProcessed(messages * size);
}

// The server side of one run: the plug-in's session or the stand-in-only server.
struct Server {
  std::unique_ptr<PluginSession> plugin;
  std::unique_ptr<UsbStandInServer> standIn;

  bool Start(World* world, bool usePlugin) {
    if (usePlugin) {
      plugin = std::make_unique<PluginSession>(world);
      return plugin->Registered();
    }
    standIn = std::make_unique<UsbStandInServer>(KAPSERVICE_SIM_PATH, kStandInSession, &Consume);
    return standIn->Started();
  }
};

// ---- Benchmarks ----

void BM_Memcpy(benchmark::State& state) {
  const size_t size = static_cast<size_t>(state.range(0));
  std::vector<char> source(size, '\xa5');
  std::vector<char> target(size);
  for (auto _ : state) {
    memcpy(target.data(), source.data(), size);
    benchmark::DoNotOptimize(target.data());
    benchmark::ClobberMemory();
  }
  SetRates(state, state.iterations(), state.range(0));
}

void ClientToHost(benchmark::State& state, bool usePlugin) {
  World& world = World::Get();
  if (!world.error.empty()) {
    state.SkipWithError(world.error.c_str());
    return;
  }
  Server server;
  Client client(&world.sim, usePlugin ? kPluginSession : kStandInSession, usePlugin);
  if (!server.Start(&world, usePlugin) || !client.Connect()) {
    state.SkipWithError("the session did not start or connect");
    return;
  }
  const std::string urb(static_cast<size_t>(state.range(0)), '\xa5');
  KapSimParam param{};
  param.value.vt = KAP_RPC_VT_BLOB;
  param.value.blobVal.size = static_cast<uint32_t>(urb.size());
  param.value.blobVal.blobData = const_cast<char*>(urb.data());
  uint32_t inFlight[kWindow] = {};
  const uint64_t before = g_delivered.load(std::memory_order_acquire);
  int64_t sent = 0;
  bool failed = false;
  for (auto _ : state) {
    uint32_t& slot = inFlight[sent % kWindow];
    if (sent >= kWindow &&
        world.sim.KapSim_WaitRequest(client.Get(), slot, kWaitMs) != KAPSIM_REQUEST_ANSWERED) {
      failed = true;
      break;
    }
    if (world.sim.KapSim_SendRequest(client.Get(), kDataObject, 1, &param, 1, &slot) != TRUE) {
      failed = true;
      break;
    }
    ++sent;
  }
  for (int64_t i = sent > kWindow ? sent - kWindow : 0; i < sent && !failed; ++i) {
    failed = world.sim.KapSim_WaitRequest(client.Get(), inFlight[i % kWindow], kWaitMs) !=
             KAPSIM_REQUEST_ANSWERED;
  }
  if (failed || g_delivered.load(std::memory_order_acquire) - before !=
                    static_cast<uint64_t>(sent)) {
    state.SkipWithError("a URB was not delivered");
    return;
  }
  SetRates(state, sent, state.range(0));
}

void HostToClient(benchmark::State& state, bool usePlugin) {
  World& world = World::Get();
  if (!world.error.empty()) {
    state.SkipWithError(world.error.c_str());
    return;
  }
  Server server;
  Client client(&world.sim, usePlugin ? kPluginSession : kStandInSession, usePlugin);
  if (!server.Start(&world, usePlugin) || !client.Connect()) {
    state.SkipWithError("the session did not start or connect");
    return;
  }
  const size_t size = static_cast<size_t>(state.range(0));
  const std::string urb(size, '\x5a');
  USBRedir_SendResponseExt ext{};
  ext.fastQueueId = kPluginSession;
  ext.headerLength = 64;
  ext.trailerLength = 0;
  const VhubHost::EntryPoints& entry = world.host->Entry();
  const int64_t batch =
      static_cast<int64_t>(std::max<size_t>(1, std::min(kInboxMessages, kInboxBytes / size)));
  int64_t sent = 0;
  int64_t inInbox = 0;
  bool failed = false;
  for (auto _ : state) {
    if (inInbox == batch) {
      state.PauseTiming();
      failed = world.sim.KapSim_GetMessageCount(client.Get()) != inInbox || !client.Reconnect();
      inInbox = 0;
      state.ResumeTiming();
      if (failed) {
        break;
      }
    }
    bool ok = usePlugin ? entry.SendResponse(kPluginSession, const_cast<char*>(urb.data()),
                                             static_cast<uint32_t>(size),
                                             USB_REDIR_PACKAGE_TYPE_URB, &ext) == TRUE
                        : server.standIn->PostUrb(urb.data(), static_cast<uint32_t>(size),
                                                  ext.fastQueueId, ext.headerLength,
                                                  ext.trailerLength);
    if (!ok) {
      failed = true;
      break;
    }
    ++sent;
    ++inInbox;
  }
  // SendResponse answers TRUE for a known session even when nothing was sent: count arrivals.
  if (failed || world.sim.KapSim_GetMessageCount(client.Get()) != inInbox) {
    state.SkipWithError("a URB did not reach the client");
    return;
  }
  SetRates(state, sent, state.range(0));
}

void BM_ClientToHost_StandIn(benchmark::State& state) { ClientToHost(state, false); }
void BM_ClientToHost_Plugin(benchmark::State& state) { ClientToHost(state, true); }
void BM_HostToClient_StandIn(benchmark::State& state) { HostToClient(state, false); }
void BM_HostToClient_Plugin(benchmark::State& state) { HostToClient(state, true); }

// Registered size by size, each path next to its baseline, so that a burst of load from
// elsewhere on the machine falls on both sides of a ratio rather than on one.
struct Registration {
  Registration() {
    const double minTime = std::getenv("USB_BENCH_MIN_TIME") != nullptr
                               ? std::atof(std::getenv("USB_BENCH_MIN_TIME"))
                               : 0.4;
    for (int64_t size : kSizes) {
      benchmark::RegisterBenchmark("Memcpy", BM_Memcpy)->Arg(size)->MinTime(0.1);
      for (auto fn : {&BM_ClientToHost_StandIn, &BM_ClientToHost_Plugin, &BM_HostToClient_StandIn,
                      &BM_HostToClient_Plugin}) {
        const char* name = fn == &BM_ClientToHost_StandIn   ? "ClientToHost/StandIn"
                           : fn == &BM_ClientToHost_Plugin  ? "ClientToHost/Plugin"
                           : fn == &BM_HostToClient_StandIn ? "HostToClient/StandIn"
                                                            : "HostToClient/Plugin";
        benchmark::RegisterBenchmark(name, fn)->Arg(size)->MinTime(minTime)->UseRealTime();
      }
    }
  }
};
const Registration g_registration;

}  // namespace
