#include "runtime/QrEventData.h"

#include <atomic>

namespace {

// A QrMutex is two counted objects: the handle and its shared data.
const long kObjectsPerMutex = 2;

std::atomic<QrMutex*> gSignalFlagLock{nullptr};

}  // namespace

QrMutex& QrEventData::SignalFlagLock() {
  QrMutex* lock = gSignalFlagLock.load(std::memory_order_acquire);
  if (lock == nullptr) {
    QrMutex* fresh = new QrMutex(false, "s_signalFlagLock");
    if (gSignalFlagLock.compare_exchange_strong(lock, fresh, std::memory_order_acq_rel)) {
      lock = fresh;
    } else {
      delete fresh;  // another thread made it first; lock holds that one
    }
  }
  return *lock;
}

long QrEventData::SignalFlagLockObjects() {
  return gSignalFlagLock.load(std::memory_order_acquire) != nullptr ? kObjectsPerMutex : 0;
}

void QrEventData::ReleaseSignalFlagLock() {
  delete gSignalFlagLock.exchange(nullptr, std::memory_order_acq_rel);
}
