// The state shared by all copies of one QrMutex: a recursive lock with a timed acquire.
// An acquire that finds the lock free takes it with one atomic exchange of the owner; only
// a thread that has to wait uses the plain mutex and the condition variable, so that every
// wait uses the monotonic clock. Only QrMutex uses it.
// Thread safe: the owner is atomic; the recursion count is touched by the owner alone; the
// waiter count and the sleep are guarded by m_mutex, which is held only to wait or to wake.
#ifndef RUNTIME_QRMUTEXDATA_H
#define RUNTIME_QRMUTEXDATA_H

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "runtime/QrThread.h"
#include "runtime/RCObject.h"

class QrMutexData : public RCObject {
 public:
  QrMutexData() = default;

  std::atomic<std::thread::id> m_owner{};  // the owning thread, or none
  std::atomic<QrThreadID> m_ownerID{0};    // the owner's number, for messages
  long m_count = 0;                        // recursion depth; the owner's alone
  std::mutex m_mutex;                      // held only to sleep on m_freed or to wake it
  std::condition_variable m_freed;         // signalled on release while someone waits
  std::atomic<long> m_waiters{0};          // threads that may sleep on m_freed

 protected:
  ~QrMutexData() override = default;
};

#endif  // RUNTIME_QRMUTEXDATA_H
