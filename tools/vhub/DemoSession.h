// One desktop session of the demo, played from the client's side against the plug-in:
// start-up exchange, device list, plug-in of a device, a URB stream answered by the hub,
// unplug, disconnect and reconnect, then stop and unregister. Every step checks that the
// host saw what it should and records a failure otherwise.
// Not thread safe: one session object per thread; the report lines go through DemoLog.
#ifndef VHUB_DEMOSESSION_H
#define VHUB_DEMOSESSION_H

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "DemoOptions.h"
#include "KapSimLibrary.h"
#include "VhubHost.h"

// Prints one line per event, time-stamped from the start of the demo. Thread safe.
class DemoLog {
 public:
  explicit DemoLog(bool quiet) : m_quiet(quiet), m_start(std::chrono::steady_clock::now()) {}
  void Event(DWORD sessionId, const std::string& text);
  double Elapsed() const;

 private:
  bool m_quiet;
  std::chrono::steady_clock::time_point m_start;
  std::mutex m_lock;
};

class DemoSession {
 public:
  struct Stats {
    uint64_t messagesToHost = 0;
    uint64_t bytesToHost = 0;
    uint64_t messagesFromHost = 0;
    uint64_t bytesFromHost = 0;
    uint64_t urbRoundTrips = 0;
    double urbSeconds = 0;
  };

  DemoSession(DWORD sessionId, VhubHost* host, KapSimLibrary* sim, const DemoOptions& options,
              DemoLog* log);
  ~DemoSession();

  // Plays the whole session; true when every expected callback and answer arrived.
  bool Run();
  const Stats& GetStats() const { return m_stats; }
  const std::vector<std::string>& Failures() const { return m_failures; }
  DWORD SessionId() const { return m_sessionId; }

 private:
  bool Connect(size_t connectedCount);
  bool AsyncRequest(const char* operation, const std::string& body, std::string* answer);
  bool Post(const char* operation, const std::string& body);
  bool UrbStream();
  // The URB reply at index has the fast-queue layout and carries size bytes.
  bool CheckUrbReply(int index, size_t size);
  bool Check(bool condition, const std::string& failure);
  void Event(const std::string& text) { m_log->Event(m_sessionId, text); }

  DWORD m_sessionId;
  VhubHost* m_host;
  KapSimLibrary* m_sim;
  const DemoOptions& m_options;
  DemoLog* m_log;
  KapSimClient* m_client = nullptr;
  uint32_t m_requests = 0;
  size_t m_expectedHostMessages = 0;
  Stats m_stats;
  std::vector<std::string> m_failures;
};

#endif  // VHUB_DEMOSESSION_H
