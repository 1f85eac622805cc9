// The system's own thread numbers (QrThreadID), shown in log lines and lock diagnostics.
// A number is made once per thread and cached in thread-local storage.
// Thread safe: the static calls may be made from any thread.
#ifndef RUNTIME_QRTHREAD_H
#define RUNTIME_QRTHREAD_H

#include <cstdint>

#include "runtime/RCObject.h"

// 0 means "no thread".
typedef uint64_t QrThreadID;

class QrThread : public RCObject {
 public:
  // The calling thread's number: (2 * (pid & 0xFFFF) + 1) * n, where n counts the
  // threads that asked, starting at 12.
  static QrThreadID GetCurrentThreadID();
  static bool IsCurrentThread(QrThreadID tid);
};

#endif  // RUNTIME_QRTHREAD_H
