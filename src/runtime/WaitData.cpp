#include "runtime/WaitData.h"

#include "runtime/QrEvent.h"
#include "runtime/QrEventData.h"
#include "runtime/WaitMultipleData.h"

WaitData::WaitData() : m_waitResult(QrEvent::WAIT_RC_TIMEOUT) {}

bool WaitData::SignalCheck() {
  if (m_pWaitMultipleData != nullptr) {
    if (m_pWaitMultipleData->m_isReady && !m_pWaitMultipleData->m_waitDone) {
      return m_pWaitMultipleData->SignalCheck();
    }
    return false;
  }
  if (!m_isReady || m_waitDone) {
    return false;
  }
  if (m_pEventData->m_qrEventRefCount.load() <= 0) {
    m_waitResult = QrEvent::WAIT_RC_ERROR;
    m_waitDone = true;
    return false;
  }
  if (m_pEventData->m_signaled) {
    Complete();
    return true;
  }
  return false;
}

void WaitData::Complete() {
  if (m_pEventData->m_autoReset) {
    m_pEventData->m_signaled = false;
  }
  m_waitResult = QrEvent::WAIT_RC_OK;
  m_waitDone = true;
}
