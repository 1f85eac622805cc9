#include "runtime/QrEvent.h"

#include <chrono>
#include <exception>
#include <utility>

#include "logging/Log.h"
#include "runtime/AutoMutexLock.h"
#include "runtime/WaitData.h"
#include "runtime/WaitMultipleData.h"

QrEvent::QrEvent(bool manualReset, bool initialState, const std::string& /*name*/)
    : m_eventData(new QrEventData(manualReset, initialState)) {}

QrEvent::QrEvent(const QrEvent& other) : RCObject(other), m_eventData(other.m_eventData) {
  QrEventAddRef(m_eventData.Ptr());
}

QrEvent::QrEvent(QrEvent&& other) noexcept
    : RCObject(other), m_eventData(std::move(other.m_eventData)) {}

QrEvent& QrEvent::operator=(const QrEvent& other) {
  if (this != &other) {
    // The new handle opens before the old one closes, so assigning between copies of one
    // event never drops its handle count to 0 on the way.
    RCPtr<QrEventData> old(std::move(m_eventData));
    m_eventData = other.m_eventData;
    QrEventAddRef(m_eventData.Ptr());
    QrEventRelease(old.Ptr());
  }
  return *this;
}

QrEvent& QrEvent::operator=(QrEvent&& other) noexcept {
  if (this != &other) {
    QrEventRelease(m_eventData.Ptr());
    m_eventData = std::move(other.m_eventData);
  }
  return *this;
}

QrEvent::~QrEvent() { QrEventRelease(m_eventData.Ptr()); }

void QrEvent::QrEventAddRef(QrEventData* data) {
  if (data != nullptr) {
    std::lock_guard<std::mutex> lock(data->m_mutex);
    ++data->m_qrEventRefCount;
  }
}

void QrEvent::QrEventRelease(QrEventData* data) {
  if (data == nullptr) {
    return;
  }
  std::lock_guard<std::mutex> lock(data->m_mutex);
  if (--data->m_qrEventRefCount > 0 || data->m_waitList.empty()) {
    return;
  }
  AutoMutexLock flagLock(QrEventData::SignalFlagLock());
  // Every waiter sees no open handle and completes with WAIT_RC_ERROR.
  for (WaitData* waiter : data->m_waitList) {
    waiter->SignalCheck();
  }
  data->m_cond.notify_all();
}

bool QrEvent::IsValid() const {
  QrEventData* data = m_eventData.Ptr();
  return data != nullptr && data->m_qrEventRefCount.load() > 0;
}

bool QrEvent::Set() {
  // The strong copy keeps the data alive should the last handle close during the call.
  RCPtr<QrEventData> data(m_eventData);
  if (data.Ptr() == nullptr) {
    return false;
  }
  {
    std::lock_guard<std::mutex> lock(data->m_mutex);
    if (data->m_qrEventRefCount.load() <= 0) {
      return false;
    }
    AutoMutexLock flagLock(QrEventData::SignalFlagLock());
    data->m_signaled = true;
    for (WaitData* waiter : data->m_waitList) {
      // One set of an auto-reset event completes one waiter, the first in line.
      if (waiter->SignalCheck() && data->m_autoReset) {
        break;
      }
    }
  }
  // Notified after the unlock, so a woken waiter does not at once block on m_mutex; the
  // strong copy keeps the condition variable alive until then.
  data->m_cond.notify_all();
  return true;
}

bool QrEvent::Reset() {
  QrEventData* data = m_eventData.Ptr();
  if (data == nullptr || data->m_qrEventRefCount.load() <= 0) {
    return false;
  }
  AutoMutexLock flagLock(QrEventData::SignalFlagLock());
  data->m_signaled = false;
  return true;
}

int QrEvent::Wait(DWORD msTimeout) {
  RCPtr<QrEventData> data(m_eventData);
  if (data.Ptr() == nullptr) {
    return WAIT_RC_ERROR;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(msTimeout);
  std::unique_lock<std::mutex> lock(data->m_mutex);
  if (data->m_qrEventRefCount.load() <= 0) {
    return WAIT_RC_ERROR;
  }
  WaitData waiter;
  waiter.m_pEventData = data.Ptr();
  waiter.m_waitListIt = data->m_waitList.insert(data->m_waitList.end(), &waiter);
  QrMutex& flagLock = QrEventData::SignalFlagLock();
  {
    AutoMutexLock flag(flagLock);
    waiter.m_isReady = true;
    waiter.SignalCheck();  // an event already signalled completes without sleeping
  }
  // Completion is decided under the flag lock by whoever sets the event, always while it
  // also holds m_mutex, so reading m_waitDone under m_mutex is enough here and spurious
  // wake-ups only loop.
  int result = WAIT_RC_TIMEOUT;
  for (;;) {
    if (waiter.m_waitDone) {
      result = WAIT_RC_OK;
      break;
    }
    if (msTimeout == INFINITE) {
      data->m_cond.wait(lock);
      continue;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      result = WAIT_RC_TIMEOUT;
      break;
    }
    try {
      data->m_cond.wait_until(lock, deadline);
    } catch (const std::exception& e) {
      QR_LOG(LOGGER_LOG_ERROR, "Exception while waiting: %s", e.what());
      result = WAIT_RC_ERROR;
      break;
    }
  }
  bool done;
  {
    AutoMutexLock flag(flagLock);
    waiter.m_isReady = false;  // no completion can happen after this
    done = waiter.m_waitDone;
  }
  data->m_waitList.erase(waiter.m_waitListIt);
  waiter.m_pEventData = nullptr;
  // A completion that raced with the timeout wins.
  return done ? waiter.m_waitResult : result;
}

int QrEvent::WaitMultiple(std::vector<QrEvent*>& events, bool waitAll, DWORD msTimeout,
                          bool /*wakeOnOSMessages*/) {
  std::vector<RCPtr<QrEventData>> datas;
  datas.reserve(events.size());
  for (QrEvent* event : events) {
    if (event == nullptr || event->m_eventData.Ptr() == nullptr) {
      return WAIT_RC_ERROR;
    }
    datas.emplace_back(event->m_eventData);
  }
  WaitMultipleData group(waitAll, static_cast<int>(datas.size()));
  QrMutex& flagLock = QrEventData::SignalFlagLock();
  // Ends the wait: no completion can happen after the first block, and every entry that
  // was registered leaves its event's list. Runs on every way out, an exception from an
  // allocation included: an entry left in a list would be completed after it is gone.
  auto finish = [&]() {
    int result;
    {
      AutoMutexLock flag(flagLock);
      group.m_isReady = false;
      for (WaitData& entry : group.m_waitData) {
        entry.m_isReady = false;
      }
      result = group.m_waitResult;
    }
    // Taking each event's mutex also waits out a thread that is still completing the group
    // through that event, so the group outlives every use of it.
    for (size_t i = 0; i < datas.size(); ++i) {
      WaitData& entry = group.m_waitData[i];
      QrEventData* data = datas[i].Ptr();
      std::lock_guard<std::mutex> lock(data->m_mutex);
      if (entry.m_pEventData != nullptr) {
        data->m_waitList.erase(entry.m_waitListIt);
        entry.m_pEventData = nullptr;
      }
    }
    return result;
  };
  try {
    for (size_t i = 0; i < datas.size(); ++i) {
      WaitData& entry = group.m_waitData[i];
      QrEventData* data = datas[i].Ptr();
      std::lock_guard<std::mutex> lock(data->m_mutex);
      entry.m_waitListIt = data->m_waitList.insert(data->m_waitList.end(), &entry);
      entry.m_pEventData = data;
    }
    bool done;
    {
      AutoMutexLock flag(flagLock);
      group.m_isReady = true;
      for (WaitData& entry : group.m_waitData) {
        entry.m_isReady = true;
      }
      group.SignalCheck();
      done = group.m_waitDone;
    }
    if (!done) {
      group.m_event.Wait(msTimeout);
    }
  } catch (...) {
    finish();
    throw;
  }
  return finish();
}
