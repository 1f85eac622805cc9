// A manual-reset or auto-reset event that threads wait on alone (Wait) or in groups
// (WaitMultiple, for any or for all). Copies share one event, the way duplicated handles
// do; closing the last copy completes every current waiter with WAIT_RC_ERROR.
// Thread safe: the state lives in QrEventData under its own mutex and the process-wide
// signal flag lock. A single QrEvent object must not be reassigned while another thread
// uses it; give each thread its own copy instead.
#ifndef RUNTIME_QREVENT_H
#define RUNTIME_QREVENT_H

#include <string>
#include <vector>

#include "runtime/QrEventData.h"
#include "runtime/RCPtr.h"
#include "usbRedirectionPlugin.h"

class QrEvent : public RCObject {
 public:
  enum WaitResultCode { WAIT_RC_ERROR = -2, WAIT_RC_TIMEOUT = -1, WAIT_RC_OK = 0 };

  // Fresh shared data with one open handle. The name is accepted and ignored.
  QrEvent(bool manualReset, bool initialState, const std::string& name = std::string());
  QrEvent(const QrEvent& other);
  QrEvent(QrEvent&& other) noexcept;
  QrEvent& operator=(const QrEvent& other);
  QrEvent& operator=(QrEvent&& other) noexcept;
  ~QrEvent() override;

  // Signals the event: a manual-reset event completes every waiter and stays signalled;
  // an auto-reset event completes the waiter that registered first, or stays signalled
  // until a wait consumes it. False without data or open handle.
  bool Set();
  bool Reset();
  // WAIT_RC_OK, WAIT_RC_TIMEOUT, or WAIT_RC_ERROR when the event has no data or its last
  // handle was closed. msTimeout INFINITE waits without limit; 0 only looks.
  int Wait(DWORD msTimeout);
  // Wait-all answers 0; wait-any the index of the event that completed it (the first
  // signalled one in the caller's order). WAIT_RC_ERROR if an event has no data or loses
  // its last handle. An auto-reset event is consumed only by a completed wait.
  // wakeOnOSMessages has no effect on this platform.
  static int WaitMultiple(std::vector<QrEvent*>& events, bool waitAll, DWORD msTimeout,
                          bool wakeOnOSMessages = false);

  bool IsValid() const;
  // Equal for all copies of one event.
  unsigned long DebugID() const { return reinterpret_cast<unsigned long>(m_eventData.Ptr()); }

 private:
  static void QrEventAddRef(QrEventData* data);
  static void QrEventRelease(QrEventData* data);

  RCPtr<QrEventData> m_eventData;  // null only after a move
};

#endif  // RUNTIME_QREVENT_H
