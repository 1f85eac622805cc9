// Runs a changing set of QrPollItems on one scheduler thread, one item at a time: an item
// runs when its event is signalled or its timeout has elapsed, then moves behind all the
// others, so items due together are served in turn. A periodic item is due m_msTimeout
// after its previous run ended. Poll threads are found by handle in a process-wide map of
// weak pointers, which is how items reach them.
// Thread safe: one lock (its own, or the owner's after SetLock) guards the item list,
// every item's fields and the running state; it is never held while the scheduler waits
// or while an item runs. Lock order: this lock, then the handle map's lock.
#ifndef RUNTIME_QRPOLLTHREAD_H
#define RUNTIME_QRPOLLTHREAD_H

#include <atomic>
#include <cstdint>
#include <list>
#include <string>

#include "runtime/LazyInstance.h"
#include "runtime/QrEvent.h"
#include "runtime/QrMutex.h"
#include "runtime/QrPollItem.h"
#include "runtime/QrThread.h"
#include "runtime/RCPtr.h"
#include "runtime/ThreadSafety.h"
#include "runtime/UserDataMap.h"
#include "runtime/WkPtr.h"

class QrPollThread : public RCObject {
 public:
  explicit QrPollThread(const std::string& name);

  // Switches to the owner's lock (null: back to the own one). The owner's lock must
  // outlive its use here, or be switched back first.
  void SetLock(QrMutex* pLock);
  QrMutex& GetLock();

  // The scheduler thread is named "QrPoll-" followed by the poll thread's name.
  bool StartScheduler();
  // Stops the scheduler and waits for it without limit.
  void StopScheduler();

  // Adds the item, or moves an item of this poll thread to the end of the list; either
  // way its timer restarts. False for an item of another poll thread.
  bool AddItem(QrPollItem* item, QrEvent* pEvent, int32_t msTimeout);
  // With waitForComplete, a Run in progress returns first (unless called from Run).
  bool RemoveItem(QrPollItem* item, bool waitForComplete);
  void RemoveAllItems(bool waitForComplete);
  bool IsMember(QrPollItem* item);
  int32_t NumItems();
  // Waits until the item (null: any item) is not running. Call with the lock held; it is
  // released while waiting (at every depth the caller holds it) and then retaken. Returns at once on the scheduler thread.
  void WaitForItemToComplete(QrPollItem* item) QR_NO_THREAD_SAFETY_ANALYSIS;
  // Puts the item at the end of the list; the lock must be held.
  bool ScheduleItem(QrPollItem* item, bool resetTimer);
  // Adds delta to the item's disable count, or to every item's for null; lock held.
  void AdjustDisabledCount(QrPollItem* item, int32_t delta);
  void SetSchedulerLogLevel(int logLevel);
  // One multi-line record of all items, when the logger admits logLevel.
  void LogAllItems(int logLevel);
  void SetDirty() { m_dirty.Set(); }

  const std::string& Name() const { return m_name; }
  UserDataHandle Handle() const { return m_handle; }

  // "INFINITE" for -1, else a readable duration.
  static std::string TimeoutStr(int32_t msTimeout);
  // The poll thread registered under the handle, or null.
  static RCPtr<QrPollThread> Find(UserDataHandle handle);
  // The number of RCObjects the handle table holds while it exists and no poll thread
  // does (0 before its first use).
  static long HandleMapObjects();
  // For the library's unload only, once no poll thread exists: frees the handle table (a
  // later use would make a new one).
  static void ReleaseHandleMap();

  // The loop drops and retakes whichever lock is current; the analysis cannot follow that.
  bool Scheduler(QrThread* thread) QR_NO_THREAD_SAFETY_ANALYSIS;
  static bool SchedulerThreadCB(void* userData, QrThread* thread);

 protected:
  ~QrPollThread() override;

 private:
  friend class QrPollThreadProxy;
  typedef UserDataMap<WkPtr<QrPollThread>> HandleMap;

  // s_handleMap: made on first use and kept while the library is loaded, so items can look
  // poll threads up while statics are torn down.
  static HandleMap& HandleMapInstance();
  static LazyInstance<HandleMap> s_handleMap;
  QrMutex* CurrentLock();
  // Takes the current lock and answers it; retries if SetLock switched it meanwhile.
  QrMutex* LockCurrent() QR_NO_THREAD_SAFETY_ANALYSIS;

  const std::string m_name;
  QrThread m_thread;
  QrMutex m_lock;
  QrEvent m_dirty;  // auto-reset: set by every change that affects scheduling
  std::atomic<QrMutex*> m_pExtLock{nullptr};
  QrEvent m_runComplete;  // manual-reset: not signalled exactly while an item runs
  QrPollItem* m_runningItem = nullptr;  // guarded by the lock
  int m_schedulerLogLevel;              // guarded by the lock
  std::list<RCPtr<QrPollItem>> m_items;  // guarded by the lock; in scheduling order
  UserDataHandle m_handle = nullptr;
};

#endif  // RUNTIME_QRPOLLTHREAD_H
