// Soak of the built plug-in through its exported functions only, against the stand-in channel
// service: many sessions at once churn through Register, Poll, a client connecting, traffic both
// ways (URBs the hub answers from threads of its own, posts, and asynchronous requests answered
// with the hub's buffers), a disconnect and a reconnect, Stop and Unregister, with random delays,
// while the plug-in logs at verbose level into a file that rolls at 1 MB, as the operator's log
// configuration file says. It fails unless every session ends unregistered, the stand-in holds no
// server, context, variant or client, every buffer the hub lent came back, and each message sent
// arrived on the other side (the counts each way are equal). Sanitizer builds stop at their first
// report.
// Settings from the environment: USBREDIR_SOAK_SECONDS (30), USBREDIR_SOAK_SESSIONS (32) and
// USBREDIR_SOAK_SEED (the time), printed so that a run can be repeated.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

#include "KapSimLibrary.h"
#include "VhubHost.h"

namespace {

using Clock = std::chrono::steady_clock;

const int kWaitMs = 120000;  // generous: sanitizers on a loaded 2-core machine
const DWORD kFirstSession = 100;

std::atomic<bool> g_failed{false};
std::mutex g_printLock;

// Reports a failed check (session 0: the run as a whole); answers ok.
bool Check(bool ok, DWORD sessionId, const std::string& what) {
  if (!ok) {
    g_failed = true;
    std::lock_guard<std::mutex> lock(g_printLock);
    fprintf(stderr, "soak: FAILED: session %u: %s\n", sessionId, what.c_str());
  }
  return ok;
}

// What crossed, summed over every session: g_totals for connections drained before they end (each
// count must equal its pair), g_rough for connections the client drops with traffic in flight (what
// arrived can only be fewer than what was sent).
struct Totals {
  std::atomic<uint64_t> clientSent{0};      // requests of the three kinds the clients sent
  std::atomic<uint64_t> hubReceived{0};     // of those, what reached the hub
  std::atomic<uint64_t> hubSent{0};         // URB answers and reply buffers the hub gave
  std::atomic<uint64_t> clientReceived{0};  // of those, what reached the clients
  std::atomic<uint64_t> cycles{0};          // sessions Register..Unregister; rough: drops
  std::atomic<uint64_t> connects{0};
};
unsigned long long Count(const std::atomic<uint64_t>& value) { return value.load(); }

Totals g_totals;
Totals g_rough;
std::atomic<uint64_t> g_hubSent[256];  // URB answers and reply buffers, by session index

// The hub's device: answers each URB with one of its own from two threads of its own, so
// SendResponse runs beside the sessions' poll threads. It counts per session, so that a session is
// stopped only once every answer to it has returned (the host's side of the contract: no
// SendResponse may overlap the session's Unregister).
class Device {
 public:
  explicit Device(VhubHost* host) : m_host(host) {
    for (std::thread& thread : m_threads) {
      thread = std::thread([this]() { Run(); });
    }
  }
  ~Device() {
    {
      std::lock_guard<std::mutex> lock(m_lock);
      m_stop = true;
    }
    m_changed.notify_all();
    for (std::thread& thread : m_threads) {
      thread.join();
    }
  }

  void Submit(DWORD sessionId) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_queue.push_back(sessionId);
    ++m_counts[sessionId].first;
    m_changed.notify_all();
  }

  bool WaitIdle(DWORD sessionId) {
    std::unique_lock<std::mutex> lock(m_lock);
    return m_changed.wait_for(lock, std::chrono::milliseconds(kWaitMs), [&]() {
      return m_counts[sessionId].first == m_counts[sessionId].second;
    });
  }

 private:
  void Run() {
    const std::string urb(64, '\x5a');
    std::unique_lock<std::mutex> lock(m_lock);
    while (m_changed.wait(lock, [this]() { return m_stop || !m_queue.empty(); }),
           !m_queue.empty()) {
      DWORD sessionId = m_queue.front();
      m_queue.pop_front();
      lock.unlock();
      USBRedir_SendResponseExt ext{};
      ext.fastQueueId = sessionId;
      ext.headerLength = 8;
      Check(m_host->SendResponse(sessionId, urb.data(), static_cast<uint32_t>(urb.size()),
                                 USB_REDIR_PACKAGE_TYPE_URB, &ext) == TRUE,
            sessionId, "SendResponse refused a URB answer");
      ++g_hubSent[sessionId - kFirstSession];
      lock.lock();
      ++m_counts[sessionId].second;
      m_changed.notify_all();
    }
  }

  VhubHost* m_host;
  std::mutex m_lock;
  std::condition_variable m_changed;
  std::deque<DWORD> m_queue;                                // guarded by m_lock
  std::map<DWORD, std::pair<uint64_t, uint64_t>> m_counts;  // submitted, answered; m_lock
  bool m_stop = false;                                      // guarded by m_lock
  std::thread m_threads[2];
};

// One session id played over and over by one thread, from the client's side and the hub's control
// side at once.
class SessionDriver {
 public:
  SessionDriver(DWORD sessionId, VhubHost* host, KapSimLibrary* sim, Device* device, unsigned seed)
      : m_id(sessionId), m_host(host), m_sim(sim), m_device(device), m_random(seed) {}

  void Run(Clock::time_point until) {
    while (Clock::now() < until && !g_failed) {
      Cycle();
    }
  }

 private:
  struct Pending {  // an asynchronous request awaiting its reply
    uint32_t requestId;
    std::string messageId;
    std::string reply;
  };

  bool Check(bool ok, const std::string& what) { return ::Check(ok, m_id, what); }

  int Random(int low, int high) { return std::uniform_int_distribution<int>(low, high)(m_random); }

  // Half the time nothing, else up to 3 ms: the interleavings differ from run to run.
  void Pause() {
    if (Random(0, 1) == 1) {
      std::this_thread::sleep_for(std::chrono::microseconds(Random(0, 3000)));
    }
  }

  void Cycle() {
    if (!Check(m_host->StartSession(m_id), "Register failed")) {
      return;
    }
    Pause();
    bool ok = Connect() && Traffic();
    Pause();
    ok = ok && Disconnect();
    Pause();
    if (ok && Random(0, 2) == 0) {
      ok = Connect() && DroppedWithTrafficInFlight();
    } else if (ok && Connect() && Traffic() && Random(0, 1) == 1) {
      Disconnect();  // else the session stops with its client still connected
    }
    Pause();
    m_host->StopSession(m_id);  // Stop, Poll returns, Unregister
    DestroyClient();
    Check(m_sim->KapSim_IsServerRunning(m_id) == FALSE, "the server outlived Unregister");
    ++g_totals.cycles;
  }

  void EndPhase(Totals* totals) {
    totals->clientSent += m_phaseSent;
    totals->hubReceived += m_host->MessageCount(m_id) - m_phaseHubReceived;
    totals->hubSent += g_hubSent[m_id - kFirstSession] - m_phaseHubSent;
    totals->clientReceived += m_phaseReceived;
  }

  bool Connect() {
    size_t before = m_host->StateChangeCount(m_id, USB_REDIR_CHANNEL_CONNECTED);
    m_client = m_sim->KapSim_ConnectClient(m_id, KAPSIM_CLIENT_DEFAULT, KAP_SERVICE_TALON_SESSION);
    // Counts this connection's traffic from here on.
    m_phaseSent = m_phaseReceived = 0;
    m_phaseHubReceived = m_host->MessageCount(m_id);
    m_phaseHubSent = g_hubSent[m_id - kFirstSession];
    m_urbAnswers = m_counted = 0;
    ++g_totals.connects;
    return Check(m_client != nullptr, "the client could not connect") &&
           Check(m_host->WaitForState(m_id, USB_REDIR_CHANNEL_CONNECTED, before + 1, kWaitMs),
                 "the hub was not told CONNECTED");
  }

  // The client leaves and the hub is told; the client's records stay until DestroyClient.
  bool Disconnect(bool destroy = true) {
    size_t before = m_host->StateChangeCount(m_id, USB_REDIR_CHANNEL_DISCONNECTED);
    bool ok = Check(m_sim->KapSim_DisconnectClient(m_client) == TRUE, "disconnect failed") &&
              Check(m_host->WaitForState(m_id, USB_REDIR_CHANNEL_DISCONNECTED, before + 1, kWaitMs),
                    "the hub was not told DISCONNECTED");
    if (destroy) {
      DestroyClient();
    }
    return ok;
  }

  // A burst, then the client goes at once. After the hub has been told, nothing more can
  // arrive on either side: every request ended answered or dropped, and no side received
  // more than the other sent.
  bool DroppedWithTrafficInFlight() {
    bool ok = Burst();
    ok = Disconnect(false) &&
         Check(m_device->WaitIdle(m_id), "the device did not answer every URB") &&
         CollectReplies(m_pending.size(), true) && ok;
    m_phaseReceived += static_cast<uint64_t>(m_sim->KapSim_GetMessageCount(m_client) - m_counted);
    DestroyClient();
    EndPhase(&g_rough);
    ++g_rough.cycles;
    return ok;
  }

  void DestroyClient() {
    if (m_client != nullptr) {
      m_sim->KapSim_DestroyClient(m_client);
      m_client = nullptr;
    }
  }

  bool Send(const char* object, uint32_t command, const std::vector<KapSimParam>& params,
            uint32_t* requestId = nullptr) {
    bool sent = m_sim->KapSim_SendRequest(m_client, object, command, params.data(),
                                          static_cast<int>(params.size()), requestId) == TRUE;
    m_phaseSent += sent ? 1 : 0;
    return Check(sent, "a request could not be sent");
  }

  // A burst, then everything is waited for and counted.
  bool Traffic() {
    bool ok = Burst() && CollectReplies(m_pending.size()) && Drain();
    EndPhase(&g_totals);
    return ok;
  }

  // URBs, posts and asynchronous requests in random order with random pauses; some replies are
  // collected as they come.
  bool Burst() {
    const int operations = Random(8, 96);
    for (int i = 0; i < operations; ++i) {
      const std::string body(static_cast<size_t>(Random(1, 2048)), static_cast<char>('a' + i % 26));
      const KapSimParam blob = KapSimBlobParam(body.data(), body.size());
      const int kind = Random(0, 3);
      bool ok = true;
      if (kind <= 1) {
        ok = Send("UsbRedirDataObj", 1, {blob});
        ++m_urbAnswers;
      } else if (kind == 2) {
        ok = Send("UsbRedirControlObj", 0, {KapSimStrParam("DeviceList"), blob});
      } else {
        std::string messageId = std::to_string(m_id) + "-" + std::to_string(++m_asyncCount);
        uint32_t requestId = 0;
        ok = Send("UsbRedirControlObj", 2,
                  {KapSimStrParam("PlugInDevice"), KapSimStrParam(messageId.c_str()), blob},
                  &requestId);
        m_pending.push_back({requestId, messageId, "re:" + body});
      }
      if (Random(0, 7) == 0) {
        Pause();
      }
      if (!ok || (Random(0, 7) == 0 && !CollectReplies(1))) {
        return false;
      }
    }
    return true;
  }

  // The request was answered with its message id and the hub's reply to its very body.
  bool HasReply(const Pending& pending) {
    uint32_t code = 0;
    int values = 0;
    const char* name = nullptr;
    const KAP_RPC_VARIANT* echoed = nullptr;
    const KAP_RPC_VARIANT* reply = nullptr;
    return m_sim->KapSim_GetReply(m_client, pending.requestId, &code, &values) == TRUE &&
           values == 2 &&
           m_sim->KapSim_GetReplyValue(m_client, pending.requestId, 0, &name, &echoed) == TRUE &&
           m_sim->KapSim_GetReplyValue(m_client, pending.requestId, 1, &name, &reply) == TRUE &&
           echoed->vt == KAP_RPC_VT_LPSTR && pending.messageId == echoed->strVal &&
           reply->vt == KAP_RPC_VT_BLOB &&
           std::string(reply->blobVal.blobData, reply->blobVal.size) == pending.reply;
  }

  // The oldest `count` asynchronous requests must be answered (HasReply); after a drop, each
  // may also be dropped.
  bool CollectReplies(size_t count, bool dropped = false) {
    for (; count > 0 && !m_pending.empty(); --count) {
      const Pending pending = m_pending.front();
      m_pending.pop_front();
      KapSimRequestState state = m_sim->KapSim_WaitRequest(m_client, pending.requestId, kWaitMs);
      bool answered = state == KAPSIM_REQUEST_ANSWERED && HasReply(pending);
      m_sim->KapSim_ReleaseRequest(m_client, pending.requestId);
      m_phaseReceived += answered ? 1 : 0;
      bool ok =
          dropped ? state == KAPSIM_REQUEST_ANSWERED || state == KAPSIM_REQUEST_DROPPED : answered;
      if (!Check(ok,
                 dropped
                     ? "a request stayed pending after the drop"
                     : "an asynchronous request got no reply with its id and the hub's answer")) {
        return false;
      }
    }
    return true;
  }

  // Everything sent has arrived: the hub got every request, the device answered every URB, and the
  // client holds exactly one answer per URB, each with the fast-queue layout.
  bool Drain() {
    if (!Check(m_host->WaitForMessages(m_id, m_phaseHubReceived + m_phaseSent, kWaitMs),
               "the hub missed a request") ||
        !Check(m_device->WaitIdle(m_id), "the device did not answer every URB") ||
        !Check(m_sim->KapSim_WaitMessageCount(m_client, m_urbAnswers, kWaitMs) == TRUE,
               "the client missed a URB answer")) {
      return false;
    }
    const int received = m_sim->KapSim_GetMessageCount(m_client);
    KapSimMessage message{};
    bool layout = m_counted == received ||
                  (m_sim->KapSim_GetMessage(m_client, m_counted, &message) == TRUE &&
                   message.command == 1 && message.paramCount == 4 && message.postMode == TRUE);
    m_phaseReceived += static_cast<uint64_t>(received - m_counted);
    m_counted = received;
    m_sim->KapSim_ReleaseMessages(m_client, received);
    return Check(received == m_urbAnswers, "the client got more than the URB answers") &&
           Check(layout, "a URB answer did not have the fast-queue layout");
  }

  const DWORD m_id;
  VhubHost* const m_host;
  KapSimLibrary* const m_sim;
  Device* const m_device;
  std::mt19937 m_random;
  KapSimClient* m_client = nullptr;
  // The current connection: requests sent, answers received, the hub's counts at its start.
  uint64_t m_phaseSent = 0;
  uint64_t m_phaseReceived = 0;
  uint64_t m_phaseHubReceived = 0;
  uint64_t m_phaseHubSent = 0;
  int m_urbAnswers = 0;  // URB answers the current client must receive
  int m_counted = 0;     // of those, counted already
  uint64_t m_asyncCount = 0;
  std::deque<Pending> m_pending;
};

// The highest roll counter of this process's log files: the file the logger ended in.
int LastLogFile(const std::string& folder) {
  const std::string prefix = "quorin-UsbRedirPlugin-" + std::to_string(getpid()) + "(";
  int last = 0;
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ignored)) {
    const std::string name = entry.path().filename().string();
    if (name.compare(0, prefix.size(), prefix) == 0) {
      last = std::max(last, atoi(name.c_str() + prefix.size()));
    }
  }
  return last;
}

// Verbose lines into a file that rolls at 1 MB, buffered or written at once.
void WriteLogConfig(const std::string& path, bool buffered) {
  std::ofstream(path) << "UsbRedirPlugin.UsbRedirPluginLogger.logLevel = VERBOSE\n"
                         "UsbRedirPlugin.UsbRedirPluginLogger.logMaxFileSizeMB = 1\n"
                         "UsbRedirPlugin.UsbRedirPluginLogger.enableBuffering = "
                      << (buffered ? "TRUE" : "FALSE") << "\n";
}

}  // namespace

int main() {
  auto setting = [](const char* name, double fallback) {
    const char* value = getenv(name);
    return value != nullptr ? atof(value) : fallback;
  };
  const double seconds = setting("USBREDIR_SOAK_SECONDS", 30);
  const int sessions = static_cast<int>(setting("USBREDIR_SOAK_SESSIONS", 32));
  const unsigned seed = static_cast<unsigned>(setting("USBREDIR_SOAK_SEED", time(nullptr)));
  if (seconds <= 0 || sessions < 1 || sessions > 256) {
    fprintf(stderr, "soak: USBREDIR_SOAK_SECONDS must be above 0, USBREDIR_SOAK_SESSIONS 1-256\n");
    return 2;
  }

  // A home and temporary folder of its own: the preference names the log configuration file, which
  // asks for verbose lines in a file that rolls at 1 MB.
  char pattern[] = "/tmp/usbredir-soak-XXXXXX";
  if (mkdtemp(pattern) == nullptr) {
    perror("mkdtemp");
    return 1;
  }
  const std::string root = pattern;
  for (const char* folder : {"/home", "/home/.quorin", "/tmp"}) {
    mkdir((root + folder).c_str(), 0700);
  }
  std::ofstream(root + "/home/.quorin/config")
      << "UsbRedirPlugin.log.configFile = \"~/soak-log.conf\"\n";
  const std::string logConfig = root + "/home/soak-log.conf";
  WriteLogConfig(logConfig, true);
  setenv("HOME", (root + "/home").c_str(), 1);
  setenv("TMPDIR", (root + "/tmp").c_str(), 1);
  setenv("USER", "soak", 1);
  setenv("KAPSERVICE_PATH", KAPSERVICE_SIM_PATH, 1);

  KapSimLibrary sim;
  auto host = std::make_unique<VhubHost>(USBREDIR_PLUGIN_PATH);
  std::string error;
  if (!sim.Load(KAPSERVICE_SIM_PATH, &error) || !host->Load(&error)) {
    fprintf(stderr, "soak: cannot start: %s\n", error.c_str());
    return 1;
  }
  host->Init();
  host->InitVhubCallback(true);
  host->SetKeepRecords(false);
  host->SetResponder([](const VhubHost::Message& message, std::string* reply) {
    *reply = "re:" + message.payload;
    ++g_hubSent[message.sessionId - kFirstSession];
    return true;
  });

  const auto start = Clock::now();
  const auto until =
      start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  {
    Device device(host.get());
    host->SetMessageObserver([&device](const VhubHost::Message& message) {
      if (message.type == USB_REDIR_PACKAGE_TYPE_URB) {
        device.Submit(message.sessionId);
      }
    });
    std::vector<std::unique_ptr<SessionDriver>> drivers;
    std::vector<std::thread> threads;
    for (int i = 0; i < sessions; ++i) {
      drivers.push_back(
          std::make_unique<SessionDriver>(kFirstSession + i, host.get(), &sim, &device, seed + i));
      threads.emplace_back(&SessionDriver::Run, drivers.back().get(), until);
    }
    // The operator edits the file now and then: the plug-in's watcher (once a minute) switches the
    // writer between buffered and direct output under full load.
    std::thread editor([&logConfig, until]() {
      for (bool buffered = false; Clock::now() + std::chrono::seconds(30) < until;
           buffered = !buffered) {
        std::this_thread::sleep_for(std::chrono::seconds(30));
        WriteLogConfig(logConfig, buffered);
      }
    });
    for (std::thread& thread : threads) {
      thread.join();
    }
    editor.join();
    host->SetMessageObserver(nullptr);
  }
  uint64_t hubReceived = 0;
  for (int i = 0; i < sessions; ++i) {
    hubReceived += host->MessageCount(kFirstSession + i);
  }
  const size_t given = host->BuffersGivenOut();
  const size_t freed = host->BuffersFreed() + host->BuffersReclaimed();
  const size_t badFrees = host->BadFrees();
  host.reset();  // Fini: the logger flushes and closes its file
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();

  KapSimCounters counters{};
  sim.KapSim_GetCounters(&counters);
  const int lastFile = LastLogFile(root + "/tmp/quorin-soak");
  printf(
      "soak: %d sessions for %.0f s (seed %u): %llu cycles register..unregister, %llu connects, "
      "log rolled %d times at 1 MB (verbose)\n",
      sessions, elapsed, seed, Count(g_totals.cycles), Count(g_totals.connects), lastFile - 1);
  for (const Totals* t : {&g_totals, &g_rough}) {
    std::string what = t == &g_totals
                           ? "drained connections"
                           : std::to_string(Count(t->cycles)) + " connections dropped in flight";
    printf("soak: %s: client->hub %llu sent, %llu received; hub->client %llu sent, %llu received\n",
           what.c_str(), Count(t->clientSent), Count(t->hubReceived), Count(t->hubSent),
           Count(t->clientReceived));
  }

  Check(g_totals.clientSent == g_totals.hubReceived, 0, "client->hub counts differ");
  Check(g_totals.hubSent == g_totals.clientReceived, 0, "hub->client counts differ");
  Check(g_rough.hubReceived <= g_rough.clientSent && g_rough.clientReceived <= g_rough.hubSent, 0,
        "a dropped connection received more than was sent");
  Check(hubReceived == g_totals.hubReceived + g_rough.hubReceived, 0,
        "the hub received requests outside the connections");
  Check(counters.servers == 0 && counters.contexts == 0 && counters.variants == 0 &&
            counters.clients == 0 && counters.objects == 0 && counters.channelSinks == 0,
        0, "servers, message contexts, variants, clients, objects or sinks left");
  Check(counters.badHandles == 0 && counters.badClears == 0, 0, "bad handles or clears");
  Check(given == freed && badFrees == 0, 0,
        "reply buffers: " + std::to_string(given) + " lent, " + std::to_string(freed) +
            " handed back, " + std::to_string(badFrees) + " bad");
  Check(seconds < 20 || lastFile >= 2, 0, "the log never rolled");
  if (g_failed) {
    fprintf(stderr, "soak: the plug-in's logs are kept in %s\n", root.c_str());
    return 1;
  }
  system(("rm -rf " + root).c_str());
  printf("soak: passed\n");
  return 0;
}
