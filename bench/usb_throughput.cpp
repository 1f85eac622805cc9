// URB throughput of the built plug-in through its exported functions, against the stand-in
// channel service, next to two baselines measured in the same run: memcpy of the same bytes
// and the stand-in alone driving a server that does the least any server must
// (UsbStandInServer). Both directions, payloads of 64 B to 1 MiB, at the default log level
// (info) and at verbose level (a second copy of the plug-in, loaded from its own file so
// that it has its own logger, reads "verbose" from its own preference file and logs into
// its own folder). Host to client also with 1, 2, 4 and 16 sessions sending at once, each
// from its own host thread, for the aggregate rate.
//
//  client->host: the simulated client posts URBs (command 1, one blob) on the data object.
//    The server's poll thread is held inside one delivery while a batch is queued behind
//    it; the time from its release to the batch's last delivery (for the plug-in: the
//    host's OnMessageArrive) is what is measured.
//  host->client: the host calls SendResponse (the stand-in path posts the same four
//    parameters itself) back to back; the post is in the client's inbox when the call
//    returns. Every kInboxBytes the client releases what it received, outside the timing,
//    so its inbox does not grow.
//
// Both paths share the handler of delivered bytes, the batch sizes and the recycling rule.
// main() runs the repetitions randomly interleaved and ends with the table of ratios;
// USB_BENCH_ITERATIONS=<n> fixes the iterations (equal work in every path, for profiling).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "KapSimLibrary.h"
#include "UsbRatioReporter.h"
#include "UsbStandInServer.h"
#include "VhubHost.h"

namespace {

const char* const kDataObject = "UsbRedirDataObj";
const uint32_t kWaitMs = 20000;
const size_t kInboxBytes = 32u << 20;    // release the inbox after this much host->client
const size_t kInboxMessages = 8192;      // ... or this many messages
// The three servers a run compares; the session ids are the paths' (plus 1000 per thread).
enum Path { kStandIn, kPlugin, kPluginVerbose };
const uint32_t kSessionIds[] = {42, 41, 43};
const int kSessionCounts[] = {1, 2, 4, 16};
const int64_t kSizes[] = {64, 4 << 10, 64 << 10, 1 << 20};

// ---- The trivial consumer both paths deliver to ----

using Clock = std::chrono::steady_clock;

std::atomic<uint64_t> g_delivered{0};
std::atomic<uint32_t> g_touch{0};

// Holds the server's poll thread inside one delivery while the client queues a batch behind
// it, then times the batch from the release to its last delivery, both read on that thread.
struct Gate {
  std::mutex lock;
  std::condition_variable changed;
  std::atomic<bool> armed{false};
  bool holding = false;           // guarded by lock
  std::atomic<uint64_t> target{0};  // the delivery count that ends the batch
  Clock::time_point released;     // written by the poll thread before the batch
  Clock::time_point finished;     // written by the poll thread at the target, under lock
  bool done = false;              // guarded by lock
};
Gate g_gate;

void HoldAtGate() {
  std::unique_lock<std::mutex> lock(g_gate.lock);
  g_gate.holding = true;
  g_gate.changed.notify_all();
  g_gate.changed.wait(lock, []() { return !g_gate.armed.load(); });
  g_gate.released = Clock::now();
}

void Consume(const char* data, uint32_t size) {
  if (g_gate.armed.load(std::memory_order_acquire)) {
    HoldAtGate();
  }
  if (data != nullptr && size != 0) {
    // Reads the bytes' ends, as a consumer that looks at the URB header and its tail would.
    g_touch.fetch_add(static_cast<unsigned char>(data[0]) ^
                          static_cast<unsigned char>(data[size - 1]),
                      std::memory_order_relaxed);
  }
  const uint64_t count = g_delivered.fetch_add(1, std::memory_order_acq_rel) + 1;
  if (count == g_gate.target.load(std::memory_order_acquire)) {
    std::lock_guard<std::mutex> lock(g_gate.lock);
    g_gate.finished = Clock::now();
    g_gate.done = true;
    g_gate.changed.notify_all();
  }
}

// ---- The plug-in, loaded once, with a host callback table of its own ----

std::mutex g_stateLock;
std::condition_variable g_stateChanged;
std::map<DWORD, uint64_t> g_connected;  // by session; guarded by g_stateLock

void OnChannelStateChange(DWORD sessionId, USB_RedirChannelState state) {
  {
    std::lock_guard<std::mutex> lock(g_stateLock);
    if (state == USB_REDIR_CHANNEL_CONNECTED) {
      g_connected[sessionId] += 1;
    }
  }
  g_stateChanged.notify_all();
}

void OnMessageArrive(DWORD, char* msg, uint32_t msgLength, USB_RedirPackageType,
                     USB_OperationType, char**, uint32_t*) {
  Consume(msg, msgLength);
}

bool WaitConnectedCount(DWORD sessionId, uint64_t count) {
  std::unique_lock<std::mutex> lock(g_stateLock);
  return g_stateChanged.wait_for(lock, std::chrono::milliseconds(kWaitMs),
                                 [&]() { return g_connected[sessionId] >= count; });
}

uint64_t ConnectedCount(DWORD sessionId) {
  std::lock_guard<std::mutex> lock(g_stateLock);
  return g_connected[sessionId];
}

// The stand-in and the plug-in (twice: at info and at verbose level), loaded once for the
// whole run. The host objects are only loaders here: sessions run on threads of this file so
// that the callbacks are the trivial ones.
struct World {
  KapSimLibrary sim;  // declared first: unloaded after the plug-in
  std::unique_ptr<VhubHost> host;         // the plug-in at its default level, info
  std::unique_ptr<VhubHost> verboseHost;  // a copy of it at verbose level
  std::string error;

  std::string logRoot;  // the plug-ins' folders, removed at exit

  World() {
    char pattern[] = "/tmp/usbredir-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
      error = "no folder for the logs";
      return;
    }
    logRoot = pattern;
    setenv("KAPSERVICE_PATH", KAPSERVICE_SIM_PATH, 1);
    if (!sim.Load(KAPSERVICE_SIM_PATH, &error)) {
      return;
    }
    host = LoadPlugin("info", nullptr);
    verboseHost = host ? LoadPlugin("verbose", "verbose") : nullptr;
    if (!verboseHost) {
      host.reset();
    }
  }

  ~World() {
    host.reset();  // stops nothing (no session outlives its benchmark), then Fini and unload
    verboseHost.reset();
    if (!logRoot.empty()) {
      std::error_code ignored;
      std::filesystem::remove_all(logRoot, ignored);
    }
  }
  World(const World&) = delete;
  World& operator=(const World&) = delete;

  const VhubHost::EntryPoints& Entry(Path path) const {
    return (path == kPluginVerbose ? verboseHost : host)->Entry();
  }

  static World& Get() {
    static World s_world;
    return s_world;
  }

 private:
  // Loads one plug-in instance whose preferences (HOME) and logs (TMPDIR) live in a folder of
  // its own: the library itself, or with a level a copy of it under another file name,
  // which the loader treats as another library with its own statics.
  std::unique_ptr<VhubHost> LoadPlugin(const std::string& name, const char* level) {
    const std::string dir = logRoot + "/" + name;
    std::error_code failed;
    std::filesystem::create_directories(dir + "/home/.quorin", failed);
    std::string path = USBREDIR_PLUGIN_PATH;
    if (level != nullptr && !failed) {
      std::ofstream(dir + "/home/.quorin/config")
          << "UsbRedirPlugin.log.logLevel = \"" << level << "\"\n";
      path = dir + "/libusbRedirectionPlugin.so";
      std::filesystem::copy_file(USBREDIR_PLUGIN_PATH, path, failed);
    }
    if (failed) {
      error = name + ": " + failed.message();
      return nullptr;
    }
    setenv("TMPDIR", dir.c_str(), 1);  // read by Init, which makes the log file
    setenv("HOME", (dir + "/home").c_str(), 1);
    auto loaded = std::make_unique<VhubHost>(path);
    if (!loaded->Load(&error)) {
      return nullptr;
    }
    loaded->Init();
    USBRedir_CallbackInterface table = {};
    table.version = 1;
    table.v1.OnChannelStateChange = &OnChannelStateChange;
    table.v1.OnMessageArrive = &OnMessageArrive;
    if (loaded->Entry().InitVhubCallback(&table) != TRUE) {
      error = "InitVhubCallback failed";
      return nullptr;
    }
    return loaded;
  }
};

// One registered plug-in session, polled on its own thread as the hub daemon does.
class PluginSession {
 public:
  PluginSession(const VhubHost::EntryPoints& entry, uint32_t sessionId)
      : m_entry(entry), m_sessionId(sessionId) {
    std::atomic<int> registered{0};
    m_thread = std::thread([this, &registered]() {
      bool ok = m_entry.Register(m_sessionId) == TRUE;
      registered.store(ok ? 1 : -1);
      if (ok) {
        m_entry.Poll(m_sessionId, nullptr);
      }
    });
    while (registered.load() == 0) {
      std::this_thread::yield();
    }
    m_registered = registered.load() > 0;
  }
  ~PluginSession() {
    if (m_registered) {
      m_entry.Stop(m_sessionId);
    }
    m_thread.join();
    if (m_registered) {
      m_entry.Unregister(m_sessionId);
    }
  }
  PluginSession(const PluginSession&) = delete;
  PluginSession& operator=(const PluginSession&) = delete;

  bool Registered() const { return m_registered; }

 private:
  const VhubHost::EntryPoints& m_entry;
  const uint32_t m_sessionId;
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
    uint64_t connected = m_plugin ? ConnectedCount(m_sessionId) : 0;
    m_client = m_sim->KapSim_ConnectClient(m_sessionId, KAPSIM_CLIENT_DEFAULT,
                                           KAP_SERVICE_TALON_SESSION);
    return m_client != nullptr &&
           m_sim->KapSim_WaitObjectState(m_client, kDataObject, KAP_RPC_OBJ_CONNECTED,
                                         kWaitMs) == TRUE &&
           (!m_plugin || WaitConnectedCount(m_sessionId, connected + 1));
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

// The session a path's benchmark thread serves.
uint32_t SessionFor(Path path, const benchmark::State& state) {
  return kSessionIds[path] + 1000u * static_cast<uint32_t>(state.thread_index());
}

// The server side of one run: a plug-in's session or the stand-in-only server.
struct Server {
  std::unique_ptr<PluginSession> plugin;
  std::unique_ptr<UsbStandInServer> standIn;

  bool Start(World* world, Path path, uint32_t sessionId) {
    if (path != kStandIn) {
      plugin = std::make_unique<PluginSession>(world->Entry(path), sessionId);
      return plugin->Registered();
    }
    standIn = std::make_unique<UsbStandInServer>(KAPSERVICE_SIM_PATH, sessionId, &Consume);
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

// URBs queued behind the held one: enough for milliseconds of work, at most 64 MiB queued.
int64_t BatchFor(size_t size) {
  return static_cast<int64_t>(std::max<size_t>(16, std::min<size_t>(4096, (64u << 20) / size)));
}

// Lets the poll thread go and forgets the batch, whatever state it was left in.
void OpenGate() {
  std::lock_guard<std::mutex> lock(g_gate.lock);
  g_gate.armed = false;
  g_gate.changed.notify_all();
}

// One iteration is one batch: the first URB holds the server's poll thread at the consumer,
// the batch is queued behind it, and the iteration's time runs from the release to the
// batch's last delivery. Inside a batch the server never waits for the client, so this is
// the rate at which each path delivers, free of the cross-core wake-ups of a hand-off per
// URB (on this virtual machine those cost 2 to 15 us by chance and would swamp both paths).
void ClientToHost(benchmark::State& state, Path path) {
  World& world = World::Get();
  if (!world.error.empty()) {
    state.SkipWithError(world.error.c_str());
    return;
  }
  Server server;
  const uint32_t sessionId = SessionFor(path, state);
  Client client(&world.sim, sessionId, path != kStandIn);
  if (!server.Start(&world, path, sessionId) || !client.Connect()) {
    state.SkipWithError("the session did not start or connect");
    return;
  }
  const size_t size = static_cast<size_t>(state.range(0));
  const std::string urb(size, '\xa5');
  KapSimParam param = KapSimBlobParam(urb.data(), size);
  auto send = [&]() {
    return world.sim.KapSim_SendRequest(client.Get(), kDataObject, 1, &param, 1, nullptr) == TRUE;
  };
  const int64_t batch = BatchFor(size);
  bool failed = false;
  for (auto _ : state) {
    {
      std::lock_guard<std::mutex> lock(g_gate.lock);
      g_gate.holding = false;
      g_gate.done = false;
      g_gate.target = g_delivered.load() + 1 + static_cast<uint64_t>(batch);
      g_gate.armed = true;
    }
    failed = !send();
    if (!failed) {
      std::unique_lock<std::mutex> lock(g_gate.lock);
      failed = !g_gate.changed.wait_for(lock, std::chrono::milliseconds(kWaitMs),
                                        []() { return g_gate.holding; });
    }
    for (int64_t i = 0; i < batch && !failed; ++i) {
      failed = !send();
    }
    OpenGate();
    std::unique_lock<std::mutex> lock(g_gate.lock);
    failed = failed || !g_gate.changed.wait_for(lock, std::chrono::milliseconds(kWaitMs),
                                                []() { return g_gate.done; });
    if (failed) {
      break;
    }
    state.SetIterationTime(std::chrono::duration<double>(g_gate.finished - g_gate.released)
                               .count());
  }
  OpenGate();
  g_gate.target = 0;
  if (failed) {
    state.SkipWithError("a URB was not delivered");
    return;
  }
  SetRates(state, state.iterations() * batch, state.range(0));
}

void HostToClient(benchmark::State& state, Path path) {
  World& world = World::Get();
  if (!world.error.empty()) {
    state.SkipWithError(world.error.c_str());
    return;
  }
  Server server;
  const uint32_t sessionId = SessionFor(path, state);
  const bool usePlugin = path != kStandIn;
  Client client(&world.sim, sessionId, usePlugin);
  if (!server.Start(&world, path, sessionId) || !client.Connect()) {
    state.SkipWithError("the session did not start or connect");
    return;
  }
  const size_t size = static_cast<size_t>(state.range(0));
  const std::string urb(size, '\x5a');
  USBRedir_SendResponseExt ext{};
  ext.fastQueueId = sessionId;
  ext.headerLength = 64;
  ext.trailerLength = 0;
  const VhubHost::EntryPoints& entry = world.Entry(usePlugin ? path : kPlugin);
  const int64_t batch =
      static_cast<int64_t>(std::max<size_t>(1, std::min(kInboxMessages, kInboxBytes / size)));
  int64_t sent = 0;
  int64_t inInbox = 0;
  bool failed = false;
  for (auto _ : state) {
    if (inInbox == batch) {
      state.PauseTiming();
      failed = world.sim.KapSim_GetMessageCount(client.Get()) != sent ||
               world.sim.KapSim_ReleaseMessages(client.Get(), static_cast<int>(sent)) != TRUE;
      inInbox = 0;
      state.ResumeTiming();
      if (failed) {
        break;
      }
    }
    bool ok = usePlugin ? entry.SendResponse(sessionId, const_cast<char*>(urb.data()),
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
  if (failed || world.sim.KapSim_GetMessageCount(client.Get()) != sent) {
    state.SkipWithError("a URB did not reach the client");
    return;
  }
  SetRates(state, sent, state.range(0));
}

void BM_ClientToHost_StandIn(benchmark::State& state) { ClientToHost(state, kStandIn); }
void BM_ClientToHost_Plugin(benchmark::State& state) { ClientToHost(state, kPlugin); }
void BM_ClientToHost_PluginVerbose(benchmark::State& state) {
  ClientToHost(state, kPluginVerbose);
}
void BM_HostToClient_StandIn(benchmark::State& state) { HostToClient(state, kStandIn); }
void BM_HostToClient_Plugin(benchmark::State& state) { HostToClient(state, kPlugin); }
void BM_HostToClient_PluginVerbose(benchmark::State& state) {
  HostToClient(state, kPluginVerbose);
}

// Registered size by size, each path next to its baseline; main() adds random interleaving
// of the repetitions so that a burst of load from elsewhere falls on both sides of a ratio.
void Register() {
  const char* fixed = std::getenv("USB_BENCH_ITERATIONS");  // for profiling: equal work
  const int64_t iterations = fixed != nullptr ? std::atoll(fixed) : 0;
  for (int64_t size : kSizes) {
    benchmark::RegisterBenchmark("Memcpy", BM_Memcpy)->Arg(size);
    const struct {
      const char* name;
      void (*fn)(benchmark::State&);
      bool clientToHost;
    } paths[] = {{"ClientToHost/StandIn", &BM_ClientToHost_StandIn, true},
                 {"ClientToHost/Plugin", &BM_ClientToHost_Plugin, true},
                 {"ClientToHost/PluginVerbose", &BM_ClientToHost_PluginVerbose, true},
                 {"HostToClient/StandIn", &BM_HostToClient_StandIn, false},
                 {"HostToClient/Plugin", &BM_HostToClient_Plugin, false},
                 {"HostToClient/PluginVerbose", &BM_HostToClient_PluginVerbose, false}};
    for (const auto& path : paths) {
      benchmark::internal::Benchmark* b = benchmark::RegisterBenchmark(path.name, path.fn);
      b->Arg(size);
      if (path.clientToHost) {
        b->UseManualTime();  // the batch's time as the poll thread saw it
      } else {
        b->UseRealTime();
      }
      if (iterations > 0) {
        b->Iterations(iterations);
      }
    }
  }
  // Several sessions at once, host to client at 64 B: each benchmark thread is one host
  // thread sending to a session of its own; the rate is the sum over the sessions.
  for (int sessions : kSessionCounts) {
    for (auto path : {std::make_pair("Sessions/StandIn", &BM_HostToClient_StandIn),
                      std::make_pair("Sessions/Plugin", &BM_HostToClient_Plugin)}) {
      benchmark::internal::Benchmark* b = benchmark::RegisterBenchmark(path.first, path.second);
      b->Arg(64)->Threads(sessions)->UseRealTime();
      if (iterations > 0) {
        b->Iterations(iterations);
      }
    }
  }
}

bool HasFlag(int argc, char** argv, const char* flag) {
  for (int i = 1; i < argc; ++i) {
    if (strncmp(argv[i], flag, strlen(flag)) == 0) {
      return true;
    }
  }
  return false;
}

}  // namespace

// Defaults that make one run of about a minute trustworthy on a busy 2-core machine; any of
// them given on the command line wins.
int main(int argc, char** argv) {
  static const char* const kDefaults[][2] = {
      {"--benchmark_enable_random_interleaving", "--benchmark_enable_random_interleaving=true"},
      {"--benchmark_repetitions", "--benchmark_repetitions=5"},
      {"--benchmark_min_time", "--benchmark_min_time=0.2"},
      {"--benchmark_display_aggregates_only", "--benchmark_display_aggregates_only=true"}};
  std::vector<char*> args(argv, argv + argc);
  for (const auto& flag : kDefaults) {
    if (!HasFlag(argc, argv, flag[0])) {
      args.push_back(const_cast<char*>(flag[1]));
    }
  }
  int count = static_cast<int>(args.size());
  args.push_back(nullptr);
  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data())) {
    return 1;
  }
  Register();
  UsbRatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatios(std::vector<long long>(std::begin(kSizes), std::end(kSizes)),
                       std::vector<int>(std::begin(kSessionCounts), std::end(kSessionCounts)));
  benchmark::Shutdown();
  return 0;
}
