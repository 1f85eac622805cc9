// A recursive critical section; the lock behind reference counts. Use QrMutex elsewhere:
// this one has no timeout, no owner diagnostics and no deadlock warning.
#ifndef RUNTIME_QRCRITICIALSECTION_H
#define RUNTIME_QRCRITICIALSECTION_H

#include <mutex>

class QrCriticialSection {
 public:
  void Acquire() { m_mutex.lock(); }
  void Release() { m_mutex.unlock(); }

 private:
  std::recursive_mutex m_mutex;
};

#endif  // RUNTIME_QRCRITICIALSECTION_H
