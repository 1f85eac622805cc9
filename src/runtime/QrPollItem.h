// A small task run by a QrPollThread: the scheduler calls Run() when the item's event is
// signalled or its timeout has elapsed, then schedules it again or drops it as Run()
// answers. An item refers to its poll thread by handle, never by pointer, so it may
// outlive the poll thread (it then detaches itself on its next operation).
// Thread safe: every operation runs under the lock of the item's poll thread (taken
// through QrPollThreadProxy), including from inside Run(). An item that belongs to no
// poll thread is not locked: use it from one thread until it is added.
#ifndef RUNTIME_QRPOLLITEM_H
#define RUNTIME_QRPOLLITEM_H

#include <atomic>
#include <cstdint>
#include <string>

#include "runtime/QrElapsedTimer.h"
#include "runtime/RCPtr.h"
#include "runtime/UserDataMapHandle.h"

class QrEvent;
class QrPollThread;

class QrPollItem : public RCObject {
 public:
  explicit QrPollItem(const std::string& name);

  // True: schedule again (timer restarted, behind all other items); false: remove.
  virtual bool Run(bool timedOut);

  // The poll thread the item belongs to, or null; a handle whose poll thread is gone is
  // dropped here, with a warning.
  RCPtr<QrPollThread> GetPollThread();
  // msTimeout -1 means no timer.
  void SetTimeoutMS(int32_t msTimeout, bool resetTimer);
  int32_t TimeRemainingMS();
  // As TimeRemainingMS for a caller that holds the poll thread's lock: -1 without timer,
  // negative when overdue (a result of exactly -1 is answered as 0).
  int32_t TimeRemainingNoLock();
  void ResetTimer();
  void PauseTimer();
  void ResumeTimer();
  // With waitForComplete, returns only after a Run in progress has returned (unless
  // called from Run itself). Disable calls nest: each needs its Enable.
  void Disable(bool waitForComplete);
  // True when the item is enabled again.
  bool Enable();
  // The event is not owned; it must outlive its use by this item.
  void SetEvent(QrEvent* pEvent);
  bool Remove(bool waitForComplete);
  const char* Name() const { return m_name.c_str(); }

 protected:
  ~QrPollItem() override = default;

 private:
  friend class QrPollThread;

  std::string m_name;
  // The fields below are guarded by the poll thread's lock while the item belongs to one.
  QrEvent* m_pEvent = nullptr;
  QrElapsedTimer m_timer;
  int32_t m_msTimeout = -1;
  int32_t m_disabled = 0;
  std::string m_timeoutStr;
  // Written under the poll thread's lock, read by the look-up that finds that lock.
  std::atomic<UserDataHandle> m_hPollThread{nullptr};
};

#endif  // RUNTIME_QRPOLLITEM_H
