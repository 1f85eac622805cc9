// Scope guard for an operation on a poll item: resolves the item's poll thread and holds
// that poll thread's lock (and a reference on it) for the guard's lifetime. Without a
// poll thread it holds nothing and names the poll thread "---".
// Not thread safe: a guard belongs to the thread that made it.
#ifndef RUNTIME_QRPOLLTHREADPROXY_H
#define RUNTIME_QRPOLLTHREADPROXY_H

#include "runtime/QrPollThread.h"

class QrPollItem;

class QrPollThreadProxy {
 public:
  explicit QrPollThreadProxy(QrPollItem* item);
  ~QrPollThreadProxy();
  QrPollThreadProxy(const QrPollThreadProxy&) = delete;
  QrPollThreadProxy& operator=(const QrPollThreadProxy&) = delete;

  const char* Name() const;
  void SetDirty();
  void WaitForItemToComplete(QrPollItem* item);
  bool HasPollThread() const { return m_qrPollThread.Ptr() != nullptr; }

 private:
  RCPtr<QrPollThread> m_qrPollThread;
  QrMutex* m_lock = nullptr;  // the lock taken, released by the destructor
};

#endif  // RUNTIME_QRPOLLTHREADPROXY_H
