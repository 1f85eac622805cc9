// Ping-pong between two threads: QrEvent (two auto-reset events) against the same
// hand-off written directly with std::mutex and std::condition_variable. One iteration is
// one round trip (two hand-offs).
#include <benchmark/benchmark.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "runtime/QrEvent.h"

namespace {

void BM_QrEventPingPong(benchmark::State& state) {
  QrEvent ping(false, false);
  QrEvent pong(false, false);
  std::atomic<bool> stop{false};
  std::thread partner([&] {
    for (;;) {
      ping.Wait(INFINITE);
      if (stop) {
        break;
      }
      pong.Set();
    }
  });
  for (auto _ : state) {
    ping.Set();
    pong.Wait(INFINITE);
  }
  stop = true;
  ping.Set();
  partner.join();
}
BENCHMARK(BM_QrEventPingPong)->UseRealTime();

// The same hand-off without QrEvent: an auto-reset flag under a mutex.
class DirectEvent {
 public:
  void Set() {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_signaled = true;
    }
    m_cond.notify_one();
  }
  void Wait() {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_cond.wait(lock, [this] { return m_signaled; });
    m_signaled = false;
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_cond;
  bool m_signaled = false;
};

void BM_DirectCondVarPingPong(benchmark::State& state) {
  DirectEvent ping;
  DirectEvent pong;
  std::atomic<bool> stop{false};
  std::thread partner([&] {
    for (;;) {
      ping.Wait();
      if (stop) {
        break;
      }
      pong.Set();
    }
  });
  for (auto _ : state) {
    ping.Set();
    pong.Wait();
  }
  stop = true;
  ping.Set();
  partner.join();
}
BENCHMARK(BM_DirectCondVarPingPong)->UseRealTime();

// The poll loop's and thread loop's wait: wait-any over two events, woken by the partner.
void BM_QrEventWaitMultiplePingPong(benchmark::State& state) {
  QrEvent ping(false, false);
  QrEvent exit(true, false);
  QrEvent pong(false, false);
  std::atomic<bool> stop{false};
  std::thread partner([&] {
    std::vector<QrEvent*> events{&exit, &ping};
    for (;;) {
      QrEvent::WaitMultiple(events, false, INFINITE);
      if (stop) {
        break;
      }
      pong.Set();
    }
  });
  for (auto _ : state) {
    ping.Set();
    pong.Wait(INFINITE);
  }
  stop = true;
  exit.Set();
  partner.join();
}
BENCHMARK(BM_QrEventWaitMultiplePingPong)->UseRealTime();

}  // namespace
