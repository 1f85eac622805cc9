// Scope guard for a QrMutex: acquires it without limit on construction and releases it on
// destruction. Release() and Acquire() drop and retake it inside the scope.
// Not thread safe: a guard belongs to the thread that made it.
#ifndef RUNTIME_AUTOMUTEXLOCK_H
#define RUNTIME_AUTOMUTEXLOCK_H

#include "runtime/QrMutex.h"
#include "runtime/ThreadSafety.h"

class QR_SCOPED_CAPABILITY AutoMutexLock {
 public:
  // The mutex must outlive the guard.
  explicit AutoMutexLock(const QrMutex& mutex) QR_ACQUIRE(mutex);
  ~AutoMutexLock() QR_RELEASE();
  AutoMutexLock(const AutoMutexLock&) = delete;
  AutoMutexLock& operator=(const AutoMutexLock&) = delete;

  // Each acts only if the state requires it; both report whether the call changed it.
  bool Acquire() QR_ACQUIRE();
  bool Release() QR_RELEASE();

 private:
  QrMutex* m_qrMutex;
  bool m_acquired;
};

#endif  // RUNTIME_AUTOMUTEXLOCK_H
