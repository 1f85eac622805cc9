#include "runtime/AutoMutexLock.h"

// The analysis cannot follow m_acquired, so the bodies opt out; the annotations on the
// declarations still check every caller.
AutoMutexLock::AutoMutexLock(const QrMutex& mutex) QR_NO_THREAD_SAFETY_ANALYSIS
    // Locking changes no observable value of the handle, hence the const reference.
    : m_qrMutex(const_cast<QrMutex*>(&mutex)),
      m_acquired(false) {
  Acquire();
}

AutoMutexLock::~AutoMutexLock() QR_NO_THREAD_SAFETY_ANALYSIS { Release(); }

bool AutoMutexLock::Acquire() QR_NO_THREAD_SAFETY_ANALYSIS {
  if (m_acquired) {
    return false;
  }
  m_acquired = m_qrMutex->Acquire(INFINITE);
  return m_acquired;
}

bool AutoMutexLock::Release() QR_NO_THREAD_SAFETY_ANALYSIS {
  if (!m_acquired) {
    return false;
  }
  m_acquired = false;
  return m_qrMutex->Release();
}
