// Helpers for the runtime tests; waiting for a condition with a generous limit beats sleeping.
#ifndef TESTS_RUNTIME_RUNTIMETESTUTIL_H
#define TESTS_RUNTIME_RUNTIMETESTUTIL_H

#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "runtime/QrEvent.h"
#include "runtime/QrEventData.h"

namespace testutil {

// Sets (or, with a null value, unsets) a variable and restores the old state at scope end.
struct ScopedEnv {
  ScopedEnv(const char* name, const char* value) : name(name) {
    if (const char* was = getenv(name)) old = was;
    value != nullptr ? setenv(name, value, 1) : unsetenv(name);
  }
  ~ScopedEnv() { old ? setenv(name.c_str(), old->c_str(), 1) : unsetenv(name.c_str()); }
  std::string name;
  std::optional<std::string> old;
};

// A fresh folder under the system's temporary folder, removed with its contents.
struct TempDir {
  TempDir() {
    path = (std::filesystem::temp_directory_path() / "rtutils-XXXXXX").string();
    if (mkdtemp(&path[0]) == nullptr) path.clear();
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
  std::string Sub(const std::string& name) const { return path + "/" + name; }
  std::string path;
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

inline void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

inline long MsSince(std::chrono::steady_clock::time_point start) {
  using namespace std::chrono;
  return static_cast<long>(duration_cast<milliseconds>(steady_clock::now() - start).count());
}

}  // namespace testutil

#endif  // TESTS_RUNTIME_RUNTIMETESTUTIL_H
