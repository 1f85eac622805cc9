#include "runtime/QrEventData.h"

#include "runtime/LazyInstance.h"

namespace {

// A QrMutex is two counted objects: the handle and its shared data.
const long kObjectsPerMutex = 2;

LazyInstance<QrMutex> gSignalFlagLock;

}  // namespace

QrMutex& QrEventData::SignalFlagLock() {
  return gSignalFlagLock.Get([] { return new QrMutex(false, "s_signalFlagLock"); });
}

long QrEventData::SignalFlagLockObjects() {
  return gSignalFlagLock.Exists() ? kObjectsPerMutex : 0;
}

void QrEventData::ReleaseSignalFlagLock() { delete gSignalFlagLock.Take(); }
