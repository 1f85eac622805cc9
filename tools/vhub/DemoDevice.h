// The hub's side of the demo's USB devices: answers every URB the plug-in delivers with a
// URB of its own, from a worker thread, as a hub would after the device completed the
// request. Thread safe: Submit is called from the sessions' poll threads.
#ifndef VHUB_DEMODEVICE_H
#define VHUB_DEMODEVICE_H

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>

#include "VhubHost.h"

class DemoDevice {
 public:
  DemoDevice(VhubHost* host, uint32_t replyBytes);
  ~DemoDevice();  // answers what is queued, then stops
  DemoDevice(const DemoDevice&) = delete;
  DemoDevice& operator=(const DemoDevice&) = delete;

  void Submit(DWORD sessionId);
  uint64_t Answered() const;
  uint64_t Failed() const;

 private:
  void Run();

  VhubHost* m_host;
  uint32_t m_replyBytes;
  mutable std::mutex m_lock;
  std::condition_variable m_wake;
  std::deque<DWORD> m_queue;  // guarded by m_lock
  bool m_stop = false;        // guarded by m_lock
  uint64_t m_answered = 0;    // guarded by m_lock
  uint64_t m_failed = 0;      // guarded by m_lock
  std::thread m_thread;
};

#endif  // VHUB_DEMODEVICE_H
