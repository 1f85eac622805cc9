// Helpers for the runtime tests; waiting for a condition with a generous limit beats sleeping.
#ifndef TESTS_RUNTIME_RUNTIMETESTUTIL_H
#define TESTS_RUNTIME_RUNTIMETESTUTIL_H

#include <chrono>
#include <functional>
#include <mutex>
#include <thread>

#include "runtime/AutoMutexLock.h"
#include "runtime/QrEvent.h"
#include "runtime/QrEventData.h"

namespace testutil {

// Number of waiters registered on the event (all copies share them).
inline size_t WaiterCount(const QrEvent& event) {
  QrEventData* data = reinterpret_cast<QrEventData*>(event.DebugID());
  std::lock_guard<std::mutex> lock(data->m_mutex);
  return data->m_waitList.size();
}

// Whether the event is signalled, read without waiting: a Wait(0) would consume the signal
// of an auto-reset event and so hide whether someone else did.
inline bool IsSignaled(const QrEvent& event) {
  AutoMutexLock lock(QrEventData::SignalFlagLock());
  return reinterpret_cast<QrEventData*>(event.DebugID())->m_signaled;
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
