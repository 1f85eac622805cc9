#include "runtime/QrPollThread.h"

#include <cstdio>
#include <vector>

#include "logging/Log.h"
#include "runtime/StringUtils.h"

namespace {

// Raised on an item's disable count while a caller waits for its run to finish, so the
// scheduler cannot pick it again meanwhile.
const int32_t kWaitDisable = 1000000;

const char* TrueFalse(bool value) { return value ? "TRUE" : "FALSE"; }

}  // namespace

namespace {

// The table itself and its QrMutex (a handle and its shared data).
const long kHandleMapObjects = 3;

}  // namespace

LazyInstance<QrPollThread::HandleMap> QrPollThread::s_handleMap;

QrPollThread::HandleMap& QrPollThread::HandleMapInstance() {
  return s_handleMap.Get(
      [] {
        HandleMap* map = new HandleMap();
        map->AddRef();  // released only when the library is unloaded
        return map;
      },
      [](HandleMap* unused) { unused->Release(); });
}

long QrPollThread::HandleMapObjects() {
  return s_handleMap.Exists() ? kHandleMapObjects : 0;
}

void QrPollThread::ReleaseHandleMap() {
  HandleMap* map = s_handleMap.Take();
  if (map != nullptr) {
    map->Release();
  }
}

RCPtr<QrPollThread> QrPollThread::Find(UserDataHandle handle) {
  if (handle == nullptr) {
    return RCPtr<QrPollThread>();
  }
  // The map's lock is held only for the copy of the weak pointer; it resolves outside.
  WkPtr<QrPollThread> weak = HandleMapInstance().Get(handle);
  return weak.Lock();
}

QrPollThread::QrPollThread(const std::string& name)
    : m_name(name),
      m_thread("QrPoll-" + name),
      m_lock(false),
      m_dirty(false, false),
      m_runComplete(true, true),
      m_schedulerLogLevel(LOGGER_LOG_NEVER) {
  m_handle = HandleMapInstance().Insert(WkPtr<QrPollThread>(this));
  QR_LOG(LOGGER_LOG_DEBUG, "%s: 0x%p", m_name.c_str(), m_handle);
}

QrPollThread::~QrPollThread() {
  FunctionTrace trace(LOGGER_LOG_DEBUG, __PRETTY_FUNCTION__, nullptr, "%s: 0x%p", m_name.c_str(),
                      m_handle);
  RemoveAllItems(false);
  m_thread.Stop(0);  // a request only; a scheduler running on this very thread ends by itself
  if (m_handle != nullptr) {
    HandleMapInstance().Remove(m_handle);
    m_handle = nullptr;
  }
}

QrMutex* QrPollThread::CurrentLock() {
  QrMutex* ext = m_pExtLock.load();
  return ext != nullptr ? ext : &m_lock;
}

QrMutex* QrPollThread::LockCurrent() {
  for (;;) {
    QrMutex* lock = CurrentLock();
    lock->Acquire(INFINITE);
    if (lock == CurrentLock()) {
      return lock;
    }
    lock->Release();
  }
}

namespace {

// Holds the poll thread's lock taken by LockCurrent() for one scope.
class PollLock {
 public:
  explicit PollLock(QrMutex* lock) : m_lock(lock) {}
  ~PollLock() QR_NO_THREAD_SAFETY_ANALYSIS { m_lock->Release(); }
  PollLock(const PollLock&) = delete;
  PollLock& operator=(const PollLock&) = delete;

 private:
  QrMutex* m_lock;
};

}  // namespace

void QrPollThread::SetLock(QrMutex* pLock) {
  PollLock lock(LockCurrent());
  m_pExtLock = pLock;
}

QrMutex& QrPollThread::GetLock() { return *CurrentLock(); }

bool QrPollThread::StartScheduler() {
  FunctionTrace trace(LOGGER_LOG_INFO, __PRETTY_FUNCTION__, nullptr, "%s", m_name.c_str());
  bool started = m_thread.Start(&QrPollThread::SchedulerThreadCB, m_handle, 0, false);
  if (!started) {
    QR_LOG(LOGGER_LOG_WARN, "%s: Failed to start scheduler thread", m_name.c_str());
  }
  return started;
}

void QrPollThread::StopScheduler() {
  FunctionTrace trace(LOGGER_LOG_INFO, __PRETTY_FUNCTION__, nullptr, "%s", m_name.c_str());
  m_thread.Stop(INFINITE);
}

bool QrPollThread::AddItem(QrPollItem* item, QrEvent* pEvent, int32_t msTimeout) {
  PollLock lock(LockCurrent());
  if (item == nullptr) {
    QR_LOG(LOGGER_LOG_DEBUG, "%s: item == NULL", m_name.c_str());
    return false;
  }
  // Resolving also drops a handle whose poll thread is gone.
  RCPtr<QrPollThread> owner = item->GetPollThread();
  if (owner.Ptr() != nullptr && owner.Ptr() != this) {
    QR_LOG(LOGGER_LOG_DEBUG, "%s: Item %s already belongs to 0x%p", m_name.c_str(), item->Name(),
           owner->Handle());
    return false;
  }
  item->SetEvent(pEvent);
  item->SetTimeoutMS(msTimeout, true);
  bool scheduled = m_handle != nullptr && ScheduleItem(item, true);
  QR_LOG(LOGGER_LOG_DEBUG, scheduled ? "%s: Item %s added" : "%s: Item %s not added",
         m_name.c_str(), item->Name());
  return scheduled;
}

bool QrPollThread::ScheduleItem(QrPollItem* item, bool resetTimer) {
  if (item->m_hPollThread.load() != nullptr) {
    for (auto it = m_items.begin(); it != m_items.end(); ++it) {
      if (it->Ptr() == item) {
        m_items.erase(it);
        break;
      }
    }
  } else {
    item->m_hPollThread = m_handle;
  }
  m_items.emplace_back(item);
  if (resetTimer) {
    item->m_timer.GetTimerCount(QrTimer::RESET);
  }
  m_dirty.Set();
  return true;
}

bool QrPollThread::RemoveItem(QrPollItem* item, bool waitForComplete) {
  PollLock lock(LockCurrent());
  if (item == nullptr) {
    QR_LOG(LOGGER_LOG_DEBUG, "%s: item == NULL", m_name.c_str());
    return false;
  }
  UserDataHandle handle = item->m_hPollThread.load();
  if (handle == nullptr) {
    return false;
  }
  if (handle != m_handle) {
    QR_LOG(LOGGER_LOG_DEBUG, "%s: Item %s belongs to 0x%p", m_name.c_str(), item->Name(), handle);
    return false;
  }
  if (waitForComplete) {
    WaitForItemToComplete(item);
  }
  for (auto it = m_items.begin(); it != m_items.end(); ++it) {
    if (it->Ptr() == item) {
      QR_LOG(LOGGER_LOG_DEBUG, "%s: Item %s removed", m_name.c_str(), item->Name());
      item->m_hPollThread = nullptr;
      RCPtr<QrPollItem> keep(*it);  // the item may die only after the list is consistent
      m_items.erase(it);
      m_dirty.Set();
      return true;
    }
  }
  QR_LOG(LOGGER_LOG_DEBUG, "%s: Item %s not found", m_name.c_str(), item->Name());
  return false;
}

void QrPollThread::RemoveAllItems(bool waitForComplete) {
  PollLock lock(LockCurrent());
  if (m_items.empty()) {
    return;
  }
  if (waitForComplete) {
    WaitForItemToComplete(nullptr);
  }
  while (!m_items.empty()) {
    RCPtr<QrPollItem> item(m_items.front());
    m_items.pop_front();
    QR_LOG(LOGGER_LOG_DEBUG, "%s: Item %s removed", m_name.c_str(), item->Name());
    item->m_hPollThread = nullptr;
  }
  m_dirty.Set();
}

bool QrPollThread::IsMember(QrPollItem* item) {
  return item != nullptr && m_handle != nullptr && item->m_hPollThread.load() == m_handle;
}

int32_t QrPollThread::NumItems() {
  PollLock lock(LockCurrent());
  return static_cast<int32_t>(m_items.size());
}

void QrPollThread::WaitForItemToComplete(QrPollItem* item) {
  if (m_runningItem == nullptr || (item != nullptr && item != m_runningItem) ||
      m_thread.IsCurrentThread()) {
    return;
  }
  FunctionTrace trace(LOGGER_LOG_DEBUG, __PRETTY_FUNCTION__, nullptr,
                      "%s: Waiting for %s to complete", m_name.c_str(),
                      item != nullptr ? item->Name() : "all items");
  // Exactly the items raised here are lowered again, even if the list changes meanwhile.
  std::vector<RCPtr<QrPollItem>> raised;
  if (item != nullptr) {
    raised.emplace_back(item);
  } else {
    raised.assign(m_items.begin(), m_items.end());
  }
  for (RCPtr<QrPollItem>& entry : raised) {
    entry->m_disabled += kWaitDisable;
  }
  // The lock is released completely, however deep the caller holds it: the run to wait
  // for cannot end while the scheduler cannot take it.
  QrMutex* lock = CurrentLock();
  int depth = 0;
  while (lock->Release()) {
    ++depth;
  }
  m_runComplete.Wait(INFINITE);
  for (int i = 0; i < depth; ++i) {
    lock->Acquire(INFINITE);
  }
  for (RCPtr<QrPollItem>& entry : raised) {
    entry->m_disabled -= kWaitDisable;
  }
}

void QrPollThread::AdjustDisabledCount(QrPollItem* item, int32_t delta) {
  if (item != nullptr) {
    item->m_disabled += delta;
    return;
  }
  for (RCPtr<QrPollItem>& entry : m_items) {
    entry->m_disabled += delta;
  }
}

void QrPollThread::SetSchedulerLogLevel(int logLevel) {
  PollLock lock(LockCurrent());
  if (logLevel != m_schedulerLogLevel) {
    m_schedulerLogLevel = logLevel;
    m_dirty.Set();
  }
}

void QrPollThread::LogAllItems(int logLevel) {
  const Level level = static_cast<Level>(logLevel);
  if (!LoggerBase::IsEnabled(level)) {
    return;
  }
  std::string text;
  {
    PollLock lock(LockCurrent());
    char line[512];
    snprintf(line, sizeof(line), "%s - %d item%s\n", m_name.c_str(),
             static_cast<int>(m_items.size()), m_items.size() == 1 ? "" : "s");
    text = line;
    for (RCPtr<QrPollItem>& item : m_items) {
      std::string elapsed = StringUtils::FormatTime(item->m_timer.Mark(QrTimer::NO_CHANGE), 3);
      snprintf(line, sizeof(line),
               "   %s - timeout(%s)  elapsed(%s)  paused(%s)  event(%s)  disabled(%d)\n",
               item->Name(), item->m_timeoutStr.c_str(), elapsed.c_str(),
               TrueFalse(item->m_timer.IsPaused()), TrueFalse(item->m_pEvent != nullptr),
               static_cast<int>(item->m_disabled));
      text += line;
    }
  }
  QR_LOG(level, "%s\n", text.c_str());
}

std::string QrPollThread::TimeoutStr(int32_t msTimeout) {
  if (msTimeout == -1) {
    return "INFINITE";
  }
  return StringUtils::FormatTime(msTimeout / 1000.0, 3);
}

bool QrPollThread::SchedulerThreadCB(void* userData, QrThread* thread) {
  RCPtr<QrPollThread> pollThread = Find(userData);
  if (pollThread.Ptr() == nullptr) {
    QR_LOG(LOGGER_LOG_DEBUG, "QrPollThread 0x%p not found", userData);
    return false;
  }
  // When this is the last reference, the poll thread dies here, on its own scheduler
  // thread, which then ends with "was deleted".
  return pollThread->Scheduler(thread);
}

bool QrPollThread::Scheduler(QrThread* thread) {
  FunctionTrace trace(LOGGER_LOG_INFO, __PRETTY_FUNCTION__, nullptr, "%s: 0x%p", m_name.c_str(),
                      m_handle);
  // Released on every return; the lock in use may change while it is dropped (SetLock).
  struct HeldLock {
    QrMutex* m_lock;
    ~HeldLock() QR_NO_THREAD_SAFETY_ANALYSIS { m_lock->Release(); }
  } held{LockCurrent()};

  std::vector<QrEvent> eventCopies;
  std::vector<QrEvent*> waitList;
  std::vector<RCPtr<QrPollItem>> waitItems;
  for (;;) {
    if (RefCount() <= 1) {
      trace.SetExitMsg(LOGGER_LOG_INFO, "%s: I'm the last reference", m_name.c_str());
      return true;
    }

    // Items wait on copies of their events: an owner that drops its event while the
    // scheduler sleeps then only wakes it through the dirty event, never ends it.
    eventCopies.clear();
    waitItems.clear();
    RCPtr<QrPollItem> candidate;
    int32_t candidateRemaining = 0;
    for (RCPtr<QrPollItem>& item : m_items) {
      if (item->m_disabled >= 1) {
        continue;
      }
      if (item->m_pEvent != nullptr) {
        eventCopies.push_back(*item->m_pEvent);
        waitItems.push_back(item);
      }
      if (item->m_msTimeout != -1 && !item->m_timer.IsPaused()) {
        int32_t remaining = item->TimeRemainingNoLock();
        if (candidate.Ptr() == nullptr || remaining < candidateRemaining) {
          candidate = item;
          candidateRemaining = remaining;
        }
      }
    }
    waitList.clear();
    waitList.push_back(&thread->GetExitEvent());
    waitList.push_back(&m_dirty);
    for (QrEvent& event : eventCopies) {
      waitList.push_back(&event);
    }
    DWORD msWait = INFINITE;
    if (candidate.Ptr() != nullptr) {
      msWait = candidateRemaining < 0 ? 0 : static_cast<DWORD>(candidateRemaining);
    }

    m_dirty.Reset();
    const Level schedLevel = static_cast<Level>(m_schedulerLogLevel);
    if (LoggerBase::IsEnabled(schedLevel)) {
      std::string waitText =
          msWait == INFINITE ? TimeoutStr(-1) : TimeoutStr(static_cast<int32_t>(msWait));
      if (candidate.Ptr() != nullptr) {
        QR_LOG(schedLevel, "%s: Waiting for %s (%s)", m_name.c_str(), candidate->Name(),
               waitText.c_str());
      } else {
        QR_LOG(schedLevel, "%s: Waiting for %s", m_name.c_str(), waitText.c_str());
      }
      LogAllItems(m_schedulerLogLevel);
    }

    held.m_lock->Release();
    int rc = QrEvent::WaitMultiple(waitList, false, msWait, false);
    held.m_lock = LockCurrent();

    if (rc == QrEvent::WAIT_RC_ERROR) {
      trace.SetExitMsg(LOGGER_LOG_ERROR, "%s: Error while waiting", m_name.c_str());
      return false;
    }
    if (rc == 0) {
      trace.SetExitMsg(LOGGER_LOG_INFO, "%s: Exit event signaled", m_name.c_str());
      return false;
    }
    if (rc == 1) {
      QR_LOG(schedLevel, "%s: Dirty event signaled", m_name.c_str());
      continue;
    }
    RCPtr<QrPollItem> item =
        rc == QrEvent::WAIT_RC_TIMEOUT ? candidate : waitItems[static_cast<size_t>(rc - 2)];
    // Membership first: an item removed during the wait is no longer guarded by this lock.
    if (item.Ptr() == nullptr || item->m_hPollThread.load() != m_handle || item->m_disabled >= 1 ||
        item->m_timer.IsPaused()) {
      continue;
    }
    const bool timedOut = rc == QrEvent::WAIT_RC_TIMEOUT;
    if (LoggerBase::IsEnabled(schedLevel)) {
      std::string lastRun = StringUtils::FormatTime(item->m_timer.Mark(QrTimer::NO_CHANGE), 3);
      QR_LOG(schedLevel, "%s: Item %s %s; last run %s ago", m_name.c_str(), item->Name(),
             timedOut ? "timed out" : "signaled", lastRun.c_str());
    }
    m_runComplete.Reset();
    m_runningItem = item.Ptr();
    held.m_lock->Release();
    QrElapsedTimer runTimer;
    bool again = item->Run(timedOut);
    double took = runTimer.Mark(QrTimer::NO_CHANGE);
    held.m_lock = LockCurrent();
    m_runningItem = nullptr;
    m_runComplete.Set();
    if (LoggerBase::IsEnabled(schedLevel)) {
      QR_LOG(schedLevel, "%s: Item %s took %s", m_name.c_str(), item->Name(),
             StringUtils::FormatTime(took, 3).c_str());
    }
    if (item->m_hPollThread.load() == m_handle) {
      if (again) {
        ScheduleItem(item.Ptr(), true);
      } else {
        RemoveItem(item.Ptr(), false);
      }
    }
  }
}
