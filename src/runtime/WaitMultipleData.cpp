#include "runtime/WaitMultipleData.h"

#include "runtime/QrEventData.h"

WaitMultipleData::WaitMultipleData(bool waitAll, int nEvents)
    : m_waitResult(QrEvent::WAIT_RC_TIMEOUT),
      m_event(true, false, std::string()),
      m_waitAll(waitAll),
      m_nEvents(nEvents),
      m_waitData(static_cast<size_t>(nEvents)) {
  for (WaitData& entry : m_waitData) {
    entry.m_pWaitMultipleData = this;
  }
}

bool WaitMultipleData::SignalCheck() {
  if (m_nEvents == 0) {
    if (m_waitAll) {
      m_waitResult = 0;
      return CompleteGroup();
    }
    return false;  // wait-any over nothing can only time out
  }
  for (WaitData& entry : m_waitData) {
    if (entry.m_pEventData->m_qrEventRefCount.load() <= 0) {
      entry.m_waitResult = QrEvent::WAIT_RC_ERROR;
      entry.m_waitDone = true;
      m_waitResult = QrEvent::WAIT_RC_ERROR;
      return CompleteGroup();
    }
  }
  if (!m_waitAll) {
    for (int i = 0; i < m_nEvents; ++i) {
      WaitData& entry = m_waitData[static_cast<size_t>(i)];
      if (entry.m_pEventData->m_signaled) {
        entry.Complete();
        m_waitResult = i;
        return CompleteGroup();
      }
    }
    return false;
  }
  for (WaitData& entry : m_waitData) {
    if (!entry.m_pEventData->m_signaled) {
      return false;
    }
  }
  // All at once, so an auto-reset event is taken together with the others or not at all.
  for (WaitData& entry : m_waitData) {
    entry.Complete();
  }
  m_waitResult = 0;
  return CompleteGroup();
}

bool WaitMultipleData::CompleteGroup() {
  m_waitDone = true;
  // Setting the private event takes its own mutex, which must not be taken under the flag
  // lock. The group stays alive meanwhile: the waiting call cannot unlink its entries
  // while the completing thread holds the mutex of the event it works on.
  QrMutex& flagLock = QrEventData::SignalFlagLock();
  flagLock.Release();
  m_event.Set();
  flagLock.Acquire(INFINITE);
  return true;
}
