#include "runtime/QrEventData.h"

#include <new>

QrMutex& QrEventData::SignalFlagLock() {
  static QrMutex* s_signalFlagLock = new QrMutex(false, "s_signalFlagLock");
  return *s_signalFlagLock;
}
