#include "runtime/QrPollItem.h"

#include "logging/Log.h"
#include "runtime/QrEvent.h"
#include "runtime/QrPollThread.h"
#include "runtime/QrPollThreadProxy.h"
#include "runtime/StringUtils.h"

QrPollItem::QrPollItem(const std::string& name) : m_name(name), m_timeoutStr("INFINITE") {}

bool QrPollItem::Run(bool /*timedOut*/) { return false; }

RCPtr<QrPollThread> QrPollItem::GetPollThread() {
  UserDataHandle handle = m_hPollThread.load();
  if (handle == nullptr) {
    return RCPtr<QrPollThread>();
  }
  RCPtr<QrPollThread> pollThread = QrPollThread::Find(handle);
  // Only the call that clears the stale handle warns, so the warning comes once.
  if (pollThread.Ptr() == nullptr && m_hPollThread.compare_exchange_strong(handle, nullptr)) {
    QR_LOG(LOGGER_LOG_WARN, "%s: QrPollThread 0x%p has been deleted", m_name.c_str(), handle);
  }
  return pollThread;
}

void QrPollItem::SetTimeoutMS(int32_t msTimeout, bool resetTimer) {
  QrPollThreadProxy proxy(this);
  if (msTimeout == m_msTimeout && !resetTimer) {
    return;
  }
  std::string description;
  if (resetTimer) {
    m_timer.GetTimerCount(QrTimer::RESET);
    description = "timer reset";
  } else {
    description = "timer at " + StringUtils::FormatTime(m_timer.Mark(QrTimer::NO_CHANGE), 3);
  }
  m_timeoutStr = QrPollThread::TimeoutStr(msTimeout);
  m_msTimeout = msTimeout;
  proxy.SetDirty();
  QR_LOG(LOGGER_LOG_TRACE, "%s: Item %s timeout set to %s (%s)", proxy.Name(), m_name.c_str(),
         m_timeoutStr.c_str(), description.c_str());
}

int32_t QrPollItem::TimeRemainingMS() {
  QrPollThreadProxy proxy(this);
  return TimeRemainingNoLock();
}

int32_t QrPollItem::TimeRemainingNoLock() {
  if (m_msTimeout == -1) {
    return -1;
  }
  // 32-bit arithmetic on purpose: an item overdue by weeks still compares as overdue.
  uint32_t remaining = static_cast<uint32_t>(m_msTimeout) -
                       static_cast<uint32_t>(m_timer.MarkMS(QrTimer::NO_CHANGE));
  int32_t result = static_cast<int32_t>(remaining);
  return result == -1 ? 0 : result;  // -1 would read as "no timer"
}

void QrPollItem::ResetTimer() {
  QrPollThreadProxy proxy(this);
  m_timer.GetTimerCount(QrTimer::RESET);
  proxy.SetDirty();
  QR_LOG(LOGGER_LOG_TRACE, "%s: Item %s reset", proxy.Name(), m_name.c_str());
}

void QrPollItem::PauseTimer() {
  QrPollThreadProxy proxy(this);
  if (m_timer.IsPaused()) {
    return;
  }
  m_timer.GetTimerCount(QrTimer::PAUSE);
  proxy.SetDirty();
  QR_LOG(LOGGER_LOG_DEBUG, "%s: Item %s paused", proxy.Name(), m_name.c_str());
}

void QrPollItem::ResumeTimer() {
  QrPollThreadProxy proxy(this);
  if (!m_timer.IsPaused()) {
    return;
  }
  m_timer.GetTimerCount(QrTimer::RESUME);
  proxy.SetDirty();
  QR_LOG(LOGGER_LOG_DEBUG, "%s: Item %s resumed", proxy.Name(), m_name.c_str());
}

void QrPollItem::Disable(bool waitForComplete) {
  QrPollThreadProxy proxy(this);
  if (waitForComplete && proxy.HasPollThread()) {
    proxy.WaitForItemToComplete(this);
  }
  if (++m_disabled == 1) {
    proxy.SetDirty();
    QR_LOG(LOGGER_LOG_DEBUG, "%s: Item %s disabled", proxy.Name(), m_name.c_str());
  }
}

bool QrPollItem::Enable() {
  QrPollThreadProxy proxy(this);
  if (--m_disabled == 0) {
    proxy.SetDirty();
    QR_LOG(LOGGER_LOG_DEBUG, "%s: Item %s enabled", proxy.Name(), m_name.c_str());
  }
  return m_disabled < 1;
}

void QrPollItem::SetEvent(QrEvent* pEvent) {
  QrPollThreadProxy proxy(this);
  if (pEvent == m_pEvent) {
    return;
  }
  m_pEvent = pEvent;
  proxy.SetDirty();
  if (pEvent == nullptr) {
    QR_LOG(LOGGER_LOG_TRACE, "%s: Item %s event set to NULL", proxy.Name(), m_name.c_str());
  } else {
    QR_LOG(LOGGER_LOG_TRACE, "%s: Item %s event set to 0x%lx", proxy.Name(), m_name.c_str(),
           pEvent->DebugID());
  }
}

bool QrPollItem::Remove(bool waitForComplete) {
  // No proxy here: RemoveItem takes the lock itself, and a wait for the item to complete
  // must be able to release it.
  RCPtr<QrPollThread> pollThread = GetPollThread();
  if (pollThread.Ptr() == nullptr) {
    return false;
  }
  return pollThread->RemoveItem(this, waitForComplete);
}
