// Helpers for the runtime tests: a scoped environment variable, a private temporary folder,
// a look at an event's waiters and signal, and waiting for a condition with a generous limit
// instead of sleeping for a fixed time.
#ifndef TESTS_RUNTIME_RUNTIMETESTUTIL_H
#define TESTS_RUNTIME_RUNTIMETESTUTIL_H

#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "runtime/QrEvent.h"
#include "runtime/QrEventData.h"

namespace testutil {

// Sets (or, with a null value, unsets) a variable and restores the old state at scope end.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : m_name(name) {
    const char* old = getenv(name);
    m_hadOld = old != nullptr;
    m_old = m_hadOld ? old : "";
    value != nullptr ? setenv(name, value, 1) : unsetenv(name);
  }
  ~ScopedEnv() { m_hadOld ? setenv(m_name.c_str(), m_old.c_str(), 1) : unsetenv(m_name.c_str()); }

 private:
  std::string m_name, m_old;
  bool m_hadOld;
};

// A fresh folder under the system's temporary folder, removed with its contents.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "rtutils-XXXXXX").string();
    m_path = mkdtemp(&pattern[0]) != nullptr ? pattern : "";
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
  }
  const std::string& Path() const { return m_path; }
  std::string Sub(const std::string& name) const { return m_path + "/" + name; }

 private:
  std::string m_path;
};

// Number of waiters registered on the event (all copies share them).
inline size_t WaiterCount(const QrEvent& event) {
  QrEventData* data = reinterpret_cast<QrEventData*>(event.DebugID());
  std::lock_guard<std::mutex> lock(data->m_mutex);
  return data->m_waitList.size();
}

// Whether the event is signalled, read without waiting: a Wait(0) would consume the signal
// of an auto-reset event and so hide whether someone else did.
inline bool IsSignaled(const QrEvent& event) {
  QrMutex& flagLock = QrEventData::SignalFlagLock();
  flagLock.Acquire(INFINITE);
  bool signaled = reinterpret_cast<QrEventData*>(event.DebugID())->m_signaled;
  flagLock.Release();
  return signaled;
}

// Polls until cond holds or msLimit passes; answers cond's last value.
inline bool WaitUntil(const std::function<bool()>& cond, int msLimit = 5000) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(msLimit);
  while (!cond()) {
    if (std::chrono::steady_clock::now() > end) return cond();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

inline long MsSince(std::chrono::steady_clock::time_point start) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::steady_clock::now() - start)
                               .count());
}

}  // namespace testutil

#endif  // TESTS_RUNTIME_RUNTIMETESTUTIL_H
