#include "runtime/QrThread.h"

#include <unistd.h>

#include <atomic>

namespace {

// Incremented before use, so the first thread gets 12.
std::atomic<uint64_t> g_threadCounter{11};

uint64_t PidFactor() {
  static const uint64_t s_pidFactor = 2 * (static_cast<uint64_t>(getpid()) & 0xFFFF) + 1;
  return s_pidFactor;
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
