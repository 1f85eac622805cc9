// The state of one QrThread, shared between the owning object and the running thread so
// that the thread can finish safely after its owner is gone. Only QrThread uses it.
// Thread safe: m_lock guards every field and is never held while the callback runs or
// while the loop waits; the three events are used without it.
#ifndef RUNTIME_QRTHREADDATA_H
#define RUNTIME_QRTHREADDATA_H

#include <memory>
#include <string>
#include <thread>

#include "runtime/QrEvent.h"
#include "runtime/QrMutex.h"
#include "runtime/QrThread.h"
#include "runtime/RCObject.h"

class QrThreadData : public RCObject {
 public:
  QrThreadData(QrThread* owner, const std::string& name);

  std::string m_name;                      // guarded by m_lock
  QrThread::fCallback m_userCB = nullptr;  // guarded by m_lock
  void* m_userData = nullptr;              // guarded by m_lock
  DWORD m_msInterval = 0;                  // guarded by m_lock
  DWORD m_msWakeTimeout = INFINITE;        // guarded by m_lock
  bool m_wakeOnWindowMsg = false;          // guarded by m_lock
  QrThreadID m_tid = 0;                    // guarded by m_lock
  std::unique_ptr<std::thread> m_thread;   // guarded by m_lock
  QrThread* m_qrThread;                    // guarded by m_lock; null once the owner is gone
  bool m_isDeleted = false;                // guarded by m_lock
  QrEvent m_wakeEvent;  // auto-reset: early wake-up, and the start handshake
  QrEvent m_exitEvent;  // manual-reset: stop requested (or the loop ended by itself)
  QrEvent m_joinEvent;  // manual-reset: the loop has ended
  QrMutex m_lock;

 protected:
  ~QrThreadData() override = default;
};

#endif  // RUNTIME_QRTHREADDATA_H
