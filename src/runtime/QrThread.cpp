#include "runtime/QrThread.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <new>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "logging/Log.h"
#include "runtime/AutoMutexLock.h"
#include "runtime/QrThreadData.h"

namespace {

// Incremented before use, so the first thread gets 12.
std::atomic<uint64_t> g_threadCounter{11};

uint64_t PidFactor() {
  static const uint64_t s_pidFactor = 2 * (static_cast<uint64_t>(getpid()) & 0xFFFF) + 1;
  return s_pidFactor;
}

std::string AddressName(const void* p) {
  char text[32];
  snprintf(text, sizeof(text), "0x%p", p);
  return text;
}

// Answered by the accessors of a moved-from thread: events and a lock without data, on
// which every operation fails softly. Never destroyed.
QrEvent& NoEvent() {
  static QrEvent* s_none = [] {
    QrEvent* none = new QrEvent(true, false);
    QrEvent sink(std::move(*none));
    return none;
  }();
  return *s_none;
}

QrMutex& NoMutex() {
  static QrMutex* s_none = [] {
    QrMutex* none = new QrMutex(false);
    QrMutex sink(std::move(*none));
    return none;
  }();
  return *s_none;
}

}  // namespace

QrThreadID QrThread::GetCurrentThreadID() {
  static thread_local QrThreadID t_tid = 0;
  if (t_tid == 0) {
    t_tid = PidFactor() * (g_threadCounter.fetch_add(1) + 1);
  }
  return t_tid;
}

bool QrThread::IsCurrentThread(QrThreadID tid) { return tid == GetCurrentThreadID(); }

QrThread::QrThread() : m_threadData(new QrThreadData(this, AddressName(this))) {}

QrThread::QrThread(const std::string& name) : m_threadData(new QrThreadData(this, name)) {}

QrThread::QrThread(QrThread&& other) noexcept
    : RCObject(other), m_threadData(std::move(other.m_threadData)) {
  if (m_threadData.Ptr() != nullptr) {
    AutoMutexLock lock(m_threadData->m_lock);
    m_threadData->m_qrThread = this;
  }
}

QrThread& QrThread::operator=(QrThread&& other) noexcept {
  if (this != &other) {
    MarkDeleted();
    m_threadData = std::move(other.m_threadData);
    if (m_threadData.Ptr() != nullptr) {
      AutoMutexLock lock(m_threadData->m_lock);
      m_threadData->m_qrThread = this;
    }
  }
  return *this;
}

QrThread::~QrThread() { MarkDeleted(); }

void QrThread::MarkDeleted() {
  RCPtr<QrThreadData> data(m_threadData);
  if (data.Ptr() == nullptr) {
    return;
  }
  AutoMutexLock lock(data->m_lock);
  if (data->m_thread) {
    QR_LOG(LOGGER_LOG_DEBUG, "Setting deleted flag for thread %s(0x%08lX)", data->m_name.c_str(),
           static_cast<unsigned long>(data->m_tid));
    data->m_isDeleted = true;
    if (data->m_thread->joinable()) {
      data->m_thread->detach();
    } else {
      QR_LOG(LOGGER_LOG_WARN, "Thread %s(0x%08lX) is not joinable", data->m_name.c_str(),
             static_cast<unsigned long>(data->m_tid));
    }
    data->m_thread.reset();
  }
  data->m_qrThread = nullptr;
}

bool QrThread::Start(fCallback userCB, void* userData, DWORD msInterval, bool wakeOnWindowMsg) {
  RCPtr<QrThreadData> data(m_threadData);
  if (data.Ptr() == nullptr) {
    return false;
  }
  AutoMutexLock lock(data->m_lock);
  if (userCB == nullptr || data->m_thread) {
    return false;
  }
  if (!data->m_joinEvent.Reset() || !data->m_exitEvent.Reset() || !data->m_wakeEvent.Reset()) {
    return false;
  }
  data->m_userCB = userCB;
  data->m_userData = userData;
  data->m_msInterval = msInterval;
  data->m_wakeOnWindowMsg = wakeOnWindowMsg;
  data->m_isDeleted = false;
  try {
    data->m_thread.reset(new std::thread(&QrThread::ThreadBody, data));
  } catch (const std::system_error& e) {
    QR_LOG(LOGGER_LOG_ERROR, "Failed to create thread %s: %s", data->m_name.c_str(), e.what());
    return false;
  }
  // The new thread sets the wake event once it has its number; m_lock stays held until
  // then. The event is auto-reset, so the loop's first wait does not see the handshake.
  // The thread runs whatever happens here, so a wait that cannot register (no memory)
  // is tried again rather than leaving early with the thread's number still being written.
  for (;;) {
    try {
      data->m_wakeEvent.Wait(INFINITE);
      break;
    } catch (const std::bad_alloc&) {
      std::this_thread::yield();
    }
  }
  return true;
}

void QrThread::ThreadBody(RCPtr<QrThreadData> data) {
  // Start() holds m_lock until the handshake below, so this write races with no reader.
  data->m_tid = GetCurrentThreadID();
  data->m_wakeEvent.Set();

  std::string name;
  {
    AutoMutexLock lock(data->m_lock);
    name = data->m_name;
  }
  QR_LOG(LOGGER_LOG_INFO, "Thread %s started", name.c_str());

  std::vector<QrEvent*> waitList{&data->m_exitEvent, &data->m_wakeEvent};
  const char* reason;
  AutoMutexLock lock(data->m_lock);
  for (;;) {
    fCallback callback = data->m_userCB;
    void* userData = data->m_userData;
    QrThread* owner = data->m_qrThread;
    lock.Release();
    bool again = callback(userData, owner);
    lock.Acquire();
    if (data->m_isDeleted) {
      data->m_exitEvent.Set();
      reason = "was deleted";
      break;
    }
    if (!again) {
      data->m_exitEvent.Set();
      reason = "exited by callback";
      break;
    }
    DWORD msWait = std::min(data->m_msInterval, data->m_msWakeTimeout);
    data->m_msWakeTimeout = INFINITE;
    bool wakeOnWindowMsg = data->m_wakeOnWindowMsg;
    lock.Release();
    int rc = QrEvent::WaitMultiple(waitList, false, msWait, wakeOnWindowMsg);
    lock.Acquire();
    if (rc == 0 || rc == QrEvent::WAIT_RC_ERROR) {
      reason = "exited";
      break;
    }
  }
  data->m_tid = 0;
  name = data->m_name;
  data->m_joinEvent.Set();
  lock.Release();
  QR_LOG(LOGGER_LOG_INFO, "Thread %s %s", name.c_str(), reason);
}

bool QrThread::WaitForStop(DWORD msTimeout) {
  RCPtr<QrThreadData> data(m_threadData);
  if (data.Ptr() == nullptr) {
    return true;
  }
  AutoMutexLock lock(data->m_lock);
  if (!data->m_thread) {
    return true;
  }
  if (data->m_tid != 0 && IsCurrentThread(data->m_tid)) {
    return false;  // a thread cannot join itself
  }
  lock.Release();
  std::vector<QrEvent*> waitList{&data->m_joinEvent};
  int rc = QrEvent::WaitMultiple(waitList, false, msTimeout);
  lock.Acquire();
  if (rc == QrEvent::WAIT_RC_TIMEOUT) {
    return false;
  }
  if (!data->m_thread) {
    return true;  // joined by a concurrent caller meanwhile
  }
  // The body set the join event after its last use of m_lock, so joining under it is safe.
  if (data->m_thread->joinable()) {
    data->m_thread->join();
  } else {
    QR_LOG(LOGGER_LOG_WARN, "Thread %s(0x%08lX) is not joinable", data->m_name.c_str(),
           static_cast<unsigned long>(data->m_tid));
  }
  data->m_thread.reset();
  return true;
}

bool QrThread::Stop(DWORD msTimeout) {
  if (m_threadData.Ptr() == nullptr) {
    return true;
  }
  m_threadData->m_exitEvent.Set();
  return WaitForStop(msTimeout);
}

bool QrThread::ShouldStop(DWORD msTimeout) {
  RCPtr<QrThreadData> data(m_threadData);
  if (data.Ptr() == nullptr) {
    return true;
  }
  std::vector<QrEvent*> waitList{&data->m_exitEvent, &data->m_wakeEvent};
  int rc = QrEvent::WaitMultiple(waitList, false, msTimeout, false);
  return rc == 0 || rc == QrEvent::WAIT_RC_ERROR;
}

void QrThread::Wakeup() {
  if (m_threadData.Ptr() != nullptr) {
    m_threadData->m_wakeEvent.Set();
  }
}

void QrThread::WakeupIn(DWORD msWakeTimeout) {
  if (m_threadData.Ptr() == nullptr) {
    return;
  }
  // Under the lock (the loop reads the field under it); the callback may call this too,
  // since the loop releases the lock around it.
  AutoMutexLock lock(m_threadData->m_lock);
  if (msWakeTimeout < m_threadData->m_msWakeTimeout) {
    m_threadData->m_msWakeTimeout = msWakeTimeout;
  }
}

bool QrThread::Terminate(DWORD /*dwExitCode*/) {
  RCPtr<QrThreadData> data(m_threadData);
  if (data.Ptr() == nullptr) {
    return true;
  }
  AutoMutexLock lock(data->m_lock);
  if (!data->m_thread) {
    return true;
  }
  if (data->m_tid != 0 && IsCurrentThread(data->m_tid)) {
    return false;
  }
  QR_LOG(LOGGER_LOG_WARN, "Attempt to terminate thread %s(0x%08lX) not supported",
         data->m_name.c_str(), static_cast<unsigned long>(data->m_tid));
  return false;
}

bool QrThread::TerminateIfNotStopped(DWORD msTimeout, DWORD dwExitCode) {
  return Stop(msTimeout) || Terminate(dwExitCode);
}

void QrThread::SetName(const std::string& name) {
  if (m_threadData.Ptr() != nullptr) {
    AutoMutexLock lock(m_threadData->m_lock);
    m_threadData->m_name = name;
  }
}

std::string QrThread::Name() const {
  if (m_threadData.Ptr() == nullptr) {
    return std::string();
  }
  AutoMutexLock lock(m_threadData->m_lock);
  return m_threadData->m_name;
}

QrThreadID QrThread::ThreadID() const {
  if (m_threadData.Ptr() == nullptr) {
    return 0;
  }
  AutoMutexLock lock(m_threadData->m_lock);
  return m_threadData->m_tid;
}

bool QrThread::IsCurrentThread() const {
  if (m_threadData.Ptr() == nullptr) {
    return false;
  }
  AutoMutexLock lock(m_threadData->m_lock);
  return m_threadData->m_thread && m_threadData->m_tid != 0 && IsCurrentThread(m_threadData->m_tid);
}

QrEvent& QrThread::GetWakeEvent() {
  return m_threadData.Ptr() != nullptr ? m_threadData->m_wakeEvent : NoEvent();
}

QrEvent& QrThread::GetExitEvent() {
  return m_threadData.Ptr() != nullptr ? m_threadData->m_exitEvent : NoEvent();
}

QrMutex& QrThread::GetLock() {
  return m_threadData.Ptr() != nullptr ? m_threadData->m_lock : NoMutex();
}
