// Soak of the built plug-in through its exports (tools/vhub's host) and the stand-in: many sessions
// churn through Register, Poll, clients connecting, traffic both ways (URBs each session's thread
// answers beside the poll threads, posts, asynchronous requests), disconnects or drops in flight,
// Stop and Unregister, with random pauses, while the plug-in logs verbosely into a file rolling at
// 1 MB, its buffering switched under load. Fails on a lost or duplicated message, a reply to
// another request, a message outside a connection, or anything left over at the end. Settings:
// USBREDIR_SOAK_SECONDS (30), USBREDIR_SOAK_SESSIONS (32), USBREDIR_SOAK_SEED (printed).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "KapSimLibrary.h"
#include "VhubHost.h"

namespace {

using Clock = std::chrono::steady_clock;

const int kWaitMs = 120000;  // generous: sanitizers on a loaded 2-core machine
const DWORD kFirstSession = 100;

std::atomic<bool> g_failed{false};
std::atomic<unsigned long long> g_cycles{0};
std::atomic<unsigned long long> g_connections[2];  // drained, dropped in flight
std::atomic<uint64_t> g_urbs[256];  // URBs the hub got by session index, on the poll threads

bool Check(bool ok, DWORD sessionId, const std::string& what) {  // session 0: the whole run
  if (!ok) {
    g_failed = true;
    fprintf(stderr, "soak: FAILED: session %u: %s\n", sessionId, what.c_str());
  }
  return ok;
}

// One session id played over and over by one thread, as the client and as the hub.
class SessionDriver {
 public:
  SessionDriver(DWORD sessionId, VhubHost* host, KapSimLibrary* sim, unsigned seed)
      : m_id(sessionId), m_host(host), m_sim(sim), m_random(seed) {}

  void Run(Clock::time_point until) {
    while (Clock::now() < until && !g_failed &&
           Check(m_host->StartSession(m_id), "Register failed")) {
      // One or two connections; the last may drop in flight or stay while the session stops.
      bool ok = true;
      for (int left = Random(1, 2); left > 0 && ok; --left) {
        Pause();
        const bool drop = left == 1 && Random(0, 2) == 0;
        ok = NewClient() && Traffic(drop);
        Pause();
        if (ok && !drop && (left > 1 || Random(0, 1) == 1)) {
          ok = Disconnect();
        }
      }
      Pause();
      m_host->StopSession(m_id);  // Stop, Poll returns, Unregister
      m_sim->KapSim_DestroyClient(m_client);
      m_client = nullptr;
      Check(m_host->MessageCount(m_id) == m_hubGot, "the hub got requests outside a connection");
      ++g_cycles;
    }
  }

 private:
  struct Pending {  // an asynchronous request awaiting its reply
    uint32_t requestId;
    std::string messageId, reply;
  };

  bool Check(bool ok, const std::string& what) { return ::Check(ok, m_id, what); }

  int Random(int low, int high) { return std::uniform_int_distribution<int>(low, high)(m_random); }

  void Pause(int oneIn = 2) {
    if (Random(1, oneIn) == 1) {
      std::this_thread::sleep_for(std::chrono::microseconds(Random(0, 3000)));
    }
  }

  bool NewClient() {
    m_sim->KapSim_DestroyClient(m_client);  // none: nothing
    size_t before = m_host->StateChangeCount(m_id, USB_REDIR_CHANNEL_CONNECTED);
    m_client = m_sim->KapSim_ConnectClient(m_id, KAPSIM_CLIENT_DEFAULT, KAP_SERVICE_TALON_SESSION);
    return Check(m_client != nullptr, "the client could not connect") &&
           Check(m_host->WaitForState(m_id, USB_REDIR_CHANNEL_CONNECTED, before + 1, kWaitMs),
                 "the hub was not told CONNECTED");
  }

  // The hub answers what it got while the client leaves; the client's records stay for counting.
  bool Disconnect() {
    size_t before = m_host->StateChangeCount(m_id, USB_REDIR_CHANNEL_DISCONNECTED);
    const bool ok = Check(m_sim->KapSim_DisconnectClient(m_client) == TRUE, "disconnect failed");
    AnswerUrbs();
    return ok &&
           Check(m_host->WaitForState(m_id, USB_REDIR_CHANNEL_DISCONNECTED, before + 1, kWaitMs),
                 "the hub was not told DISCONNECTED");
  }

  // Answers every URB so far, before the session stops: no SendResponse may overlap Unregister.
  void AnswerUrbs() {
    const std::string urb(64, '\x5a');
    USBRedir_SendResponseExt ext{m_id, 8, 0};
    for (; m_urbsAnswered < g_urbs[m_id - kFirstSession]; ++m_urbsAnswered) {
      Check(m_host->SendResponse(m_id, urb.data(), static_cast<uint32_t>(urb.size()),
                                 USB_REDIR_PACKAGE_TYPE_URB, &ext) == TRUE,
            "SendResponse refused a URB answer");
    }
  }

  // A burst of URBs, posts and asynchronous requests in random order with random pauses; then
  // everything is waited for, or the client drops at once. The counts each way must match.
  bool Traffic(bool drop) {
    const uint64_t hubGotBefore = m_host->MessageCount(m_id);
    const uint64_t answeredBefore = m_urbsAnswered;
    uint64_t sent = 0, urbs = 0;
    bool ok = true;
    for (int i = 0, operations = Random(8, 96); i < operations && ok; ++i) {
      const std::string body(static_cast<size_t>(Random(1, 2048)), static_cast<char>('a' + i % 26));
      const KapSimParam blob = KapSimBlobParam(body.data(), body.size());
      const std::string messageId = std::to_string(m_id) + "-" + std::to_string(++m_asyncCount);
      const int kind = Random(0, 3);  // a URB (0, 1), a post (2), an asynchronous request (3)
      const uint32_t commands[] = {1, 1, 0, 2};
      const std::vector<KapSimParam> params[] = {
          {blob},
          {blob},
          {KapSimStrParam("DeviceList"), blob},
          {KapSimStrParam("PlugInDevice"), KapSimStrParam(messageId.c_str()), blob}};
      uint32_t requestId = 0;
      ok = Check(m_sim->KapSim_SendRequest(
                     m_client, kind <= 1 ? "UsbRedirDataObj" : "UsbRedirControlObj", commands[kind],
                     params[kind].data(), static_cast<int>(params[kind].size()),
                     kind == 3 ? &requestId : nullptr) == TRUE,
                 "a request could not be sent");
      ++sent;
      urbs += kind <= 1 ? 1 : 0;
      if (kind == 3) {
        m_pending.push_back({requestId, messageId, "re:" + body});
      }
      Pause(16);
      AnswerUrbs();
    }
    ok = (!drop || Disconnect()) && ok && CollectReplies(drop);
    if (ok && !drop) {
      ok = Check(m_host->WaitForMessages(m_id, hubGotBefore + sent, kWaitMs),
                 "the hub missed a request");
      AnswerUrbs();
      ok = ok &&
           Check(m_sim->KapSim_WaitMessageCount(m_client, static_cast<int>(urbs), kWaitMs) == TRUE,
                 "the client missed a URB answer");
    }
    AnswerUrbs();
    const uint64_t hubSent = m_urbsAnswered - answeredBefore;
    const uint64_t got = static_cast<uint64_t>(m_sim->KapSim_GetMessageCount(m_client));
    m_sim->KapSim_ReleaseMessages(m_client, static_cast<int>(got));
    const uint64_t hubGot = m_host->MessageCount(m_id) - hubGotBefore;
    m_hubGot += hubGot;
    ++g_connections[drop];
    return ok && Check(drop ? hubGot <= sent && got <= hubSent : hubGot == sent && got == hubSent,
                       drop ? "a dropped connection received more than was sent"
                            : "a drained connection lost or duplicated a message");
  }

  // Each asynchronous request gets its message id and the reply to its body, or after a drop none.
  bool CollectReplies(bool dropped) {
    bool ok = true;
    for (auto pending = m_pending.begin(); ok && pending != m_pending.end(); ++pending) {
      KapSimRequestState state = m_sim->KapSim_WaitRequest(m_client, pending->requestId, kWaitMs);
      int values = 0;
      const KAP_RPC_VARIANT *echoed = nullptr, *reply = nullptr;
      bool answered =
          state == KAPSIM_REQUEST_ANSWERED &&
          m_sim->KapSim_GetReply(m_client, pending->requestId, nullptr, &values) == TRUE &&
          values == 2 &&
          m_sim->KapSim_GetReplyValue(m_client, pending->requestId, 0, nullptr, &echoed) == TRUE &&
          m_sim->KapSim_GetReplyValue(m_client, pending->requestId, 1, nullptr, &reply) == TRUE &&
          echoed->vt == KAP_RPC_VT_LPSTR && pending->messageId == echoed->strVal &&
          reply->vt == KAP_RPC_VT_BLOB &&
          std::string(reply->blobVal.blobData, reply->blobVal.size) == pending->reply;
      m_sim->KapSim_ReleaseRequest(m_client, pending->requestId);
      ok = Check(
          dropped ? state == KAPSIM_REQUEST_ANSWERED || state == KAPSIM_REQUEST_DROPPED : answered,
          dropped ? "a request stayed pending after the drop"
                  : "an asynchronous request got no reply with its id and the hub's answer");
    }
    m_pending.clear();
    return ok;
  }

  const DWORD m_id;
  VhubHost* const m_host;
  KapSimLibrary* const m_sim;
  std::mt19937 m_random;
  KapSimClient* m_client = nullptr;
  uint64_t m_urbsAnswered = 0;  // of g_urbs for this session
  uint64_t m_asyncCount = 0;
  uint64_t m_hubGot = 0;  // requests the hub got on this session's connections
  std::vector<Pending> m_pending;
};

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
  const int sessions = std::clamp(static_cast<int>(setting("USBREDIR_SOAK_SESSIONS", 32)), 1, 256);
  const unsigned seed = static_cast<unsigned>(setting("USBREDIR_SOAK_SEED", time(nullptr)));
  char root[] = "/tmp/usbredir-soak-XXXXXX";
  if (mkdtemp(root) == nullptr) {
    perror("mkdtemp");
    return 1;
  }
  // Home and temporary folder of its own: the preference names the log configuration file.
  const std::string dir = root, logConfig = dir + "/soak-log.conf";
  std::filesystem::create_directories(dir + "/.quorin");
  std::ofstream(dir + "/.quorin/config") << "UsbRedirPlugin.log.configFile = \"~/soak-log.conf\"\n";
  WriteLogConfig(logConfig, true);
  setenv("HOME", root, 1);
  setenv("TMPDIR", root, 1);
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
    return true;
  });
  host->SetMessageObserver([](const VhubHost::Message& message) {
    g_urbs[message.sessionId - kFirstSession] += message.type == USB_REDIR_PACKAGE_TYPE_URB;
  });

  const auto start = Clock::now();
  const auto until =
      start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  std::deque<SessionDriver> drivers;
  std::vector<std::thread> threads;
  for (int i = 0; i < sessions; ++i) {
    drivers.emplace_back(kFirstSession + i, host.get(), &sim, seed + i);
    threads.emplace_back(&SessionDriver::Run, &drivers.back(), until);
  }
  // The plug-in's watcher (once a minute) switches the writer between buffered and direct output.
  for (bool buffered = false; Clock::now() + std::chrono::seconds(30) < until;
       buffered = !buffered) {
    std::this_thread::sleep_for(std::chrono::seconds(30));
    WriteLogConfig(logConfig, buffered);
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  Check(host->BuffersGivenOut() == host->BuffersFreed() + host->BuffersReclaimed() &&
            host->BadFrees() == 0,
        0, "reply buffers lent and handed back differ, or bad frees");
  host.reset();  // Fini: the logger flushes and closes its file
  printf(
      "soak: %d sessions for %.0f s (seed %u): %llu cycles register..unregister, %llu connections "
      "drained, %llu dropped in flight\n",
      sessions, std::chrono::duration<double>(Clock::now() - start).count(), seed, g_cycles.load(),
      g_connections[0].load(), g_connections[1].load());

  KapSimCounters counters{};
  sim.KapSim_GetCounters(&counters);
  Check(counters.servers == 0 && counters.contexts == 0 && counters.variants == 0 &&
            counters.clients == 0 && counters.objects == 0 && counters.channelSinks == 0 &&
            counters.badHandles == 0 && counters.badClears == 0,
        0, "servers, contexts, variants, clients, objects or sinks left, or bad handles");
  if (g_failed) {
    fprintf(stderr, "soak: the plug-in's logs are kept in %s\n", root);
    return 1;
  }
  std::filesystem::remove_all(root);
  printf("soak: passed\n");
  return 0;
}
