// The state shared by all copies of one QrMutex: a recursive lock with a timed acquire,
// built on a plain mutex and a condition variable so that every wait uses the monotonic
// clock. Only QrMutex uses it.
// Thread safe: every field is guarded by m_mutex, which is held only for a state change.
#ifndef RUNTIME_QRMUTEXDATA_H
#define RUNTIME_QRMUTEXDATA_H

#include <condition_variable>
#include <mutex>
#include <thread>

#include "runtime/QrThread.h"
#include "runtime/RCObject.h"

class QrMutexData : public RCObject {
 public:
  QrMutexData() = default;

  std::mutex m_mutex;            // guards the fields below; never held while blocking
  std::condition_variable m_freed;  // signalled when m_count drops to 0 and someone waits
  std::thread::id m_owner;       // the owning thread, or none; guarded by m_mutex
  QrThreadID m_ownerID = 0;      // the owner's number for messages; guarded by m_mutex
  long m_count = 0;              // recursion depth, 0 when free; guarded by m_mutex
  long m_waiters = 0;            // threads sleeping on m_freed; guarded by m_mutex

 protected:
  ~QrMutexData() override = default;
};

#endif  // RUNTIME_QRMUTEXDATA_H
