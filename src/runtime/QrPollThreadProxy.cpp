#include "runtime/QrPollThreadProxy.h"

#include "runtime/QrPollItem.h"

QrPollThreadProxy::QrPollThreadProxy(QrPollItem* item) QR_NO_THREAD_SAFETY_ANALYSIS {
  if (item != nullptr) {
    m_qrPollThread = item->GetPollThread();
  }
  if (m_qrPollThread.Ptr() != nullptr) {
    m_lock = m_qrPollThread->LockCurrent();
  }
}

QrPollThreadProxy::~QrPollThreadProxy() QR_NO_THREAD_SAFETY_ANALYSIS {
  QrPollThread* pollThread = m_qrPollThread.Detach();
  if (pollThread == nullptr) {
    return;
  }
  m_lock->Release();
  // The operation set the dirty event while this guard still held a reference, so a
  // scheduler that is by now the last holder may have woken, seen two references and gone
  // back to sleep. When this release leaves one, wake it once more to notice.
  QrEvent dirty(pollThread->m_dirty);
  if (pollThread->Release() == 1) {
    dirty.Set();
  }
}

const char* QrPollThreadProxy::Name() const {
  return m_qrPollThread.Ptr() != nullptr ? m_qrPollThread->Name().c_str() : "---";
}

void QrPollThreadProxy::SetDirty() {
  if (m_qrPollThread.Ptr() != nullptr) {
    m_qrPollThread->SetDirty();
  }
}

void QrPollThreadProxy::WaitForItemToComplete(QrPollItem* item) {
  if (m_qrPollThread.Ptr() != nullptr) {
    m_qrPollThread->WaitForItemToComplete(item);
  }
}
