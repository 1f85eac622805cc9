#include "runtime/QrMutex.h"

#include <atomic>
#include <chrono>
#include <utility>

#include "logging/Log.h"

namespace {

const DWORD kDeadlockWarningMs = 30000;
std::atomic<DWORD> g_deadlockWarningMs{kDeadlockWarningMs};

void TakeOwnership(QrMutexData* data) {
  data->m_owner = std::this_thread::get_id();
  data->m_ownerID = QrThread::GetCurrentThreadID();
  data->m_count = 1;
}

}  // namespace

QrMutex::QrMutex(bool initialState, const std::string& /*name*/) : m_mutexData(new QrMutexData()) {
  if (initialState) {
    Acquire(INFINITE);
  }
}

QrMutex::QrMutex(const QrMutex& other) : RCObject(other), m_mutexData(other.m_mutexData) {}

QrMutex::QrMutex(QrMutex&& other) noexcept
    : RCObject(other), m_mutexData(std::move(other.m_mutexData)) {}

QrMutex& QrMutex::operator=(const QrMutex& other) {
  if (this != &other) {
    m_mutexData = other.m_mutexData;
  }
  return *this;
}

QrMutex& QrMutex::operator=(QrMutex&& other) noexcept {
  if (this != &other) {
    m_mutexData = std::move(other.m_mutexData);
  }
  return *this;
}

QrMutex::~QrMutex() = default;

void QrMutex::SetDeadlockWarningDelayForTests(DWORD msDelay) { g_deadlockWarningMs = msDelay; }

bool QrMutex::Acquire(DWORD msTimeout) {
  QrMutexData* handleData = m_mutexData.Ptr();
  if (handleData == nullptr) {
    return false;
  }
  const std::thread::id self = std::this_thread::get_id();
  std::unique_lock<std::mutex> state(handleData->m_mutex);
  if (handleData->m_count > 0 && handleData->m_owner == self) {
    ++handleData->m_count;  // recursion never waits
    return true;
  }
  if (handleData->m_count == 0) {
    TakeOwnership(handleData);
    return true;
  }
  if (msTimeout == 0) {
    return false;
  }
  // About to block: from here a strong copy keeps the lock alive should the last handle
  // go while this call waits. The caller's handle covers the fast paths above.
  RCPtr<QrMutexData> data(handleData);
  auto isFree = [&data] { return data->m_count == 0; };
  bool acquired;
  ++data->m_waiters;
  if (msTimeout != INFINITE) {
    acquired = data->m_freed.wait_until(
        state, std::chrono::steady_clock::now() + std::chrono::milliseconds(msTimeout), isFree);
  } else {
    acquired = data->m_freed.wait_until(
        state, std::chrono::steady_clock::now() + std::chrono::milliseconds(g_deadlockWarningMs),
        isFree);
    if (!acquired) {
      const unsigned long ownerID = static_cast<unsigned long>(data->m_ownerID);
      state.unlock();  // never log under the state lock: the logger takes mutexes too
      QR_LOG(LOGGER_LOG_WARN,
             "Possible deadlock trying to acquire lock 0x%p held by thread 0x%08lX",
             static_cast<void*>(this), ownerID);
      state.lock();
      data->m_freed.wait(state, isFree);
      acquired = true;
    }
  }
  --data->m_waiters;
  if (acquired) {
    TakeOwnership(data);
  }
  return acquired;
}

bool QrMutex::Release() {
  QrMutexData* data = m_mutexData.Ptr();
  if (data == nullptr) {
    return false;
  }
  bool wake;
  {
    std::lock_guard<std::mutex> state(data->m_mutex);
    if (data->m_count == 0 || data->m_owner != std::this_thread::get_id()) {
      return false;
    }
    if (--data->m_count > 0) {
      return true;
    }
    data->m_owner = std::thread::id();
    data->m_ownerID = 0;
    wake = data->m_waiters > 0;
  }
  // The caller's own handle keeps the data alive past the unlock.
  if (wake) {
    data->m_freed.notify_one();
  }
  return true;
}
