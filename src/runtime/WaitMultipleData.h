// The group of one WaitMultiple call: one WaitData per event, in the caller's order, and a
// private manual-reset event the waiting thread sleeps on. Lives for that call only.
// Not thread safe by itself: every field is guarded by the signal flag lock; m_event is
// set by whichever thread completes the group.
#ifndef RUNTIME_WAITMULTIPLEDATA_H
#define RUNTIME_WAITMULTIPLEDATA_H

#include <vector>

#include "runtime/QrEvent.h"
#include "runtime/ThreadSafety.h"
#include "runtime/WaitData.h"

class WaitMultipleData {
 public:
  WaitMultipleData(bool waitAll, int nEvents);
  WaitMultipleData(const WaitMultipleData&) = delete;
  WaitMultipleData& operator=(const WaitMultipleData&) = delete;

  // The group check; call only under the signal flag lock, and only while the group is
  // ready and not done. Completing the group drops the flag lock for the Set() of the
  // private event and takes it again.
  bool SignalCheck();

  bool m_isReady = false;
  bool m_waitDone = false;
  int m_waitResult;
  QrEvent m_event;
  bool m_waitAll;
  int m_nEvents;
  std::vector<WaitData> m_waitData;

 private:
  // The caller's flag lock is reached through SignalFlagLock(), which the analysis cannot
  // tie to the caller's guard.
  bool CompleteGroup() QR_NO_THREAD_SAFETY_ANALYSIS;
};

#endif  // RUNTIME_WAITMULTIPLEDATA_H
