// A recursive mutex handle with a timed acquire and a deadlock warning; every mutex of the
// system is one. Copies share one lock, the way duplicated handles do. Take it through
// AutoMutexLock; call Acquire/Release directly only where a scope guard cannot fit.
// Thread safe: ownership is decided inside the shared data under its own short lock.
// Under clang, Acquire is annotated as a try-acquire: callers must branch on its result.
#ifndef RUNTIME_QRMUTEX_H
#define RUNTIME_QRMUTEX_H

#include <string>

#include "runtime/QrMutexData.h"
#include "runtime/RCPtr.h"
#include "runtime/ThreadSafety.h"
#include "usbRedirectionPlugin.h"

#ifndef INFINITE
#define INFINITE 0xFFFFFFFF  // a timeout that never runs out
#endif

class QR_CAPABILITY("mutex") QrMutex : public RCObject {
 public:
  // With initialState true the constructing thread owns the mutex on return.
  // The name is accepted and ignored.
  explicit QrMutex(bool initialState = false, const std::string& name = std::string());
  QrMutex(const QrMutex& other);
  QrMutex(QrMutex&& other) noexcept;
  QrMutex& operator=(const QrMutex& other);
  QrMutex& operator=(QrMutex&& other) noexcept;
  ~QrMutex() override;

  // True when the calling thread holds the mutex (again, if it already did). INFINITE
  // waits without limit, logging one warning if the wait lasts the deadlock delay; 0 is
  // a single attempt. False without data or when the timeout runs out.
  bool Acquire(DWORD msTimeout = INFINITE) QR_TRY_ACQUIRE(true);
  // True if the calling thread was the owner; a call from any other thread changes
  // nothing and returns false.
  bool Release() QR_RELEASE();

  bool IsValid() const { return m_mutexData.Ptr() != nullptr; }
  unsigned long DebugID() const { return reinterpret_cast<unsigned long>(m_mutexData.Ptr()); }

  // For tests only: how long an INFINITE Acquire waits before the deadlock warning
  // (30000 ms unless changed). Process-wide.
  static void SetDeadlockWarningDelayForTests(DWORD msDelay);

 private:
  RCPtr<QrMutexData> m_mutexData;
};

#endif  // RUNTIME_QRMUTEX_H
