// Frame pacing on top of QrElapsedTimer: frame n is due n / fps seconds after the start,
// and WaitForNextFrame sleeps until the next one is due. Nothing in the plug-in paces
// frames; the class completes the timer family.
// Not thread safe: one timer belongs to one thread at a time.
#ifndef RUNTIME_QRMEDIATIMER_H
#define RUNTIME_QRMEDIATIMER_H

#include "runtime/QrElapsedTimer.h"

class QrMediaTimer : public QrElapsedTimer {
 public:
  // A non-positive or non-finite fps gives a rate of 0: every frame is due at once.
  explicit QrMediaTimer(double fps, Mode mode = DEFAULT_MODE);
  ~QrMediaTimer() override = default;

  // Frame numbering starts again at 0; call it together with a RESET mode change.
  void OnReset() override;

  // Advances to the next frame and sleeps until it is due (msAdjust ms early at most);
  // returns the due time minus the elapsed milliseconds (negative when late).
  long WaitForNextFrame(int msAdjust);
  long TimeToNextFrame();
  long SkipFrame();
  long ActualFrame();

  double GetFps() const { return m_fps; }
  int64_t GetFrameNum() const { return m_frameNum; }

 private:
  long DueMs(int64_t frame) const;

  double m_fps;
  double m_rate;  // seconds per frame
  int64_t m_frameNum = 0;
};

#endif  // RUNTIME_QRMEDIATIMER_H
