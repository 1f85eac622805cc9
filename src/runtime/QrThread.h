// Runs a callback repeatedly on its own operating-system thread: once at start, then
// whenever the interval elapses or Wakeup() is called, until the callback returns false,
// Stop() is called or the QrThread object is destroyed (the thread then finishes its
// current run and ends by itself). Also hands out the system's thread numbers
// (QrThreadID), shown in log lines and lock diagnostics.
// Thread safe: the state lives in QrThreadData under its own lock, which is released
// around the callback, so the callback may call Stop, Wakeup, WakeupIn or ShouldStop.
#ifndef RUNTIME_QRTHREAD_H
#define RUNTIME_QRTHREAD_H

#include <cstdint>
#include <string>

#include "runtime/RCPtr.h"
#include "usbRedirectionPlugin.h"

// 0 means "no thread".
typedef uint64_t QrThreadID;

class QrEvent;
class QrMutex;
class QrThreadData;

class QrThread : public RCObject {
 public:
  // True asks to be run again, false asks the thread to finish.
  typedef bool (*fCallback)(void* userData, QrThread* thread);

  // Named after its own address ("0x%p").
  QrThread();
  explicit QrThread(const std::string& name);
  QrThread(QrThread&& other) noexcept;
  QrThread& operator=(QrThread&& other) noexcept;
  QrThread(const QrThread&) = delete;
  QrThread& operator=(const QrThread&) = delete;
  // A running thread is marked deleted and detached: it ends after its current run.
  ~QrThread() override;

  // Returns once the new thread has its number. False if userCB is null or a thread
  // already exists. msInterval INFINITE runs the callback only when woken.
  bool Start(fCallback userCB, void* userData, DWORD msInterval, bool wakeOnWindowMsg = false);
  // Requests the stop, then WaitForStop(msTimeout).
  bool Stop(DWORD msTimeout);
  // True once no thread is left (joined here, or never started); false on timeout or
  // when called on the thread itself.
  bool WaitForStop(DWORD msTimeout);
  bool IsStopped() { return WaitForStop(0); }  // joins a thread that has ended
  bool IsRunning() { return !IsStopped(); }
  // For the callback: sleeps up to msTimeout; true if a stop was requested. A wake-up
  // consumed here is not seen again by the loop.
  bool ShouldStop(DWORD msTimeout);
  void Wakeup();
  // The next wait lasts at most msWakeTimeout (kept only if shorter than one already
  // requested); later waits use the interval again.
  void WakeupIn(DWORD msWakeTimeout);
  // Forced termination is not supported: logs and returns false while a thread runs.
  bool Terminate(DWORD dwExitCode);
  bool TerminateIfNotStopped(DWORD msTimeout, DWORD dwExitCode);

  void SetName(const std::string& name);
  std::string Name() const;  // empty without data
  QrThreadID ThreadID() const;
  bool IsCurrentThread() const;

  // The shared members; valid while this object lives.
  QrEvent& GetWakeEvent();
  QrEvent& GetExitEvent();
  QrMutex& GetLock();

  // The calling thread's number: (2 * (pid & 0xFFFF) + 1) * n, where n counts the
  // threads that asked, starting at 12.
  static QrThreadID GetCurrentThreadID();
  static bool IsCurrentThread(QrThreadID tid);

 private:
  static void ThreadBody(RCPtr<QrThreadData> data);
  void MarkDeleted();

  RCPtr<QrThreadData> m_threadData;  // null only after a move
};

#endif  // RUNTIME_QRTHREAD_H
