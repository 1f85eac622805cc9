// The state shared by all copies of one QrEvent: the signalled flag, the waiters in the
// order they registered and the number of open handles. Only QrEvent and its waiters use it.
// Thread safe: m_mutex guards the wait list and the handle count; the process-wide signal
// flag lock guards m_signaled and every waiter's state. Lock order: an event's m_mutex
// first, then the signal flag lock.
#ifndef RUNTIME_QREVENTDATA_H
#define RUNTIME_QREVENTDATA_H

#include <atomic>
#include <condition_variable>
#include <list>
#include <mutex>

#include "runtime/QrMutex.h"
#include "runtime/RCObject.h"

class WaitData;

class QrEventData : public RCObject {
 public:
  QrEventData(bool manualReset, bool initialState)
      : m_signaled(initialState), m_autoReset(!manualReset) {}

  // The process-wide lock behind every event's m_signaled and every waiter's state
  // (s_signalFlagLock). Made on first use and kept while the library is loaded, so events
  // keep working while statics are torn down.
  static QrMutex& SignalFlagLock();
  // For the library's unload only, once no event can be used any more: frees the lock (a
  // later use would make a new one).
  static void ReleaseSignalFlagLock();
  // The number of RCObjects the lock holds while it exists (0 before its first use).
  static long SignalFlagLockObjects();

  std::condition_variable m_cond;  // single waiters sleep on it, under m_mutex
  std::mutex m_mutex;
  bool m_signaled;                 // guarded by the signal flag lock
  const bool m_autoReset;
  // Open handles. Changed under m_mutex; also read under the signal flag lock while
  // another event's waiters are checked, hence atomic.
  std::atomic<long> m_qrEventRefCount{1};
  std::list<WaitData*> m_waitList;  // guarded by m_mutex

 protected:
  ~QrEventData() override = default;
};

#endif  // RUNTIME_QREVENTDATA_H
