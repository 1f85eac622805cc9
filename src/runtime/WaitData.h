// One waiter of one event for the duration of a single Wait or WaitMultiple call. It lives
// on the waiting call's stack (or in its WaitMultipleData) and is always unlinked from the
// event's wait list before the call returns.
// Not thread safe by itself: m_waitListIt is guarded by the event's m_mutex, every other
// field by the signal flag lock.
#ifndef RUNTIME_WAITDATA_H
#define RUNTIME_WAITDATA_H

#include <list>

class QrEventData;
class WaitMultipleData;

class WaitData {
 public:
  // Decides completion; call only under the signal flag lock. True when this waiter (or
  // its group) consumed the event's signal and completed; a waiter completed because
  // the event lost its last handle returns false.
  bool SignalCheck();
  // Takes the signal: clears an auto-reset event, result WAIT_RC_OK, done.
  void Complete();

  bool m_isReady = false;
  bool m_waitDone = false;
  int m_waitResult;
  WaitMultipleData* m_pWaitMultipleData = nullptr;
  QrEventData* m_pEventData = nullptr;  // null once unlinked
  std::list<WaitData*>::iterator m_waitListIt;

  WaitData();
};

#endif  // RUNTIME_WAITDATA_H
