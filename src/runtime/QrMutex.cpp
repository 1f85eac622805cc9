#include "runtime/QrMutex.h"

#include <atomic>
#include <chrono>
#include <utility>

#include "logging/Log.h"

namespace {

const DWORD kDeadlockWarningMs = 30000;
std::atomic<DWORD> g_deadlockWarningMs{kDeadlockWarningMs};

// Takes the lock if it is free; the exchange is sequentially consistent so that a release
// that finds no waiter and a waiter that registers cannot miss each other.
bool TryTake(QrMutexData* data, std::thread::id self) {
  std::thread::id none;
  if (!data->m_owner.compare_exchange_strong(none, self, std::memory_order_seq_cst)) {
    return false;
  }
  data->m_count = 1;
  data->m_ownerID.store(QrThread::GetCurrentThreadID(), std::memory_order_relaxed);
  return true;
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
  // Only this thread can have made itself the owner, so a relaxed look is enough.
  if (handleData->m_owner.load(std::memory_order_relaxed) == self) {
    ++handleData->m_count;  // recursion never waits
    return true;
  }
  if (TryTake(handleData, self)) {
    return true;
  }
  if (msTimeout == 0) {
    return false;
  }
  // About to block: from here a strong copy keeps the lock alive should the last handle
  // go while this call waits. The caller's handle covers the fast paths above.
  RCPtr<QrMutexData> data(handleData);
  std::unique_lock<std::mutex> state(data->m_mutex);
  data->m_waiters.fetch_add(1, std::memory_order_seq_cst);
  auto taken = [&data, self] { return TryTake(data, self); };
  bool acquired;
  if (msTimeout != INFINITE) {
    acquired = data->m_freed.wait_until(
        state, std::chrono::steady_clock::now() + std::chrono::milliseconds(msTimeout), taken);
  } else {
    acquired = data->m_freed.wait_until(
        state, std::chrono::steady_clock::now() + std::chrono::milliseconds(g_deadlockWarningMs),
        taken);
    if (!acquired) {
      const unsigned long ownerID =
          static_cast<unsigned long>(data->m_ownerID.load(std::memory_order_relaxed));
      state.unlock();  // never log under the state lock: the logger takes mutexes too
      QR_LOG(LOGGER_LOG_WARN,
             "Possible deadlock trying to acquire lock 0x%p held by thread 0x%08lX",
             static_cast<void*>(this), ownerID);
      state.lock();
      data->m_freed.wait(state, taken);
      acquired = true;
    }
  }
  data->m_waiters.fetch_sub(1, std::memory_order_relaxed);
  return acquired;
}

bool QrMutex::Release() {
  QrMutexData* data = m_mutexData.Ptr();
  if (data == nullptr ||
      data->m_owner.load(std::memory_order_relaxed) != std::this_thread::get_id()) {
    return false;
  }
  if (--data->m_count > 0) {
    return true;
  }
  data->m_ownerID.store(0, std::memory_order_relaxed);
  data->m_owner.store(std::thread::id(), std::memory_order_seq_cst);
  // The caller's own handle keeps the data alive past the release. A waiter registers
  // under m_mutex before it last tries to take the lock, so taking m_mutex here means it
  // is either asleep (and is woken) or will find the lock free.
  if (data->m_waiters.load(std::memory_order_seq_cst) > 0) {
    { std::lock_guard<std::mutex> wake(data->m_mutex); }
    data->m_freed.notify_one();
  }
  return true;
}
