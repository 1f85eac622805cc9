#include "runtime/QrMediaTimer.h"

#include <chrono>
#include <cmath>
#include <thread>

QrMediaTimer::QrMediaTimer(double fps, Mode mode) : QrElapsedTimer(mode), m_fps(fps) {
  m_rate = (std::isfinite(fps) && fps > 0) ? 1.0 / fps : 0.0;
  if (m_rate == 0.0) {
    m_fps = 0.0;
  }
}

void QrMediaTimer::OnReset() { m_frameNum = 0; }

long QrMediaTimer::DueMs(int64_t frame) const {
  // Very late frames of a very slow rate would leave the range of long; clamp them.
  double due = static_cast<double>(frame) * m_rate * 1000.0;
  const double kMax = 9.0e18;
  if (!(due < kMax)) {
    return static_cast<long>(kMax);
  }
  return static_cast<long>(due);
}

long QrMediaTimer::WaitForNextFrame(int msAdjust) {
  ++m_frameNum;
  const long due = DueMs(m_frameNum);
  long elapsed = static_cast<long>(MarkMS64(NO_CHANGE));
  if (IsPaused()) {
    return due - elapsed;
  }
  while (due > elapsed + msAdjust) {
    long remaining = due - elapsed;
    long sleepMs = remaining / 2 > 1 ? remaining / 2 : 1;
    std::this_thread::sleep_for(std::chrono::milliseconds(sleepMs));
    elapsed = static_cast<long>(MarkMS64(NO_CHANGE));
  }
  return due - elapsed;
}

long QrMediaTimer::TimeToNextFrame() {
  return DueMs(m_frameNum + 1) - static_cast<long>(MarkMS64(NO_CHANGE));
}

long QrMediaTimer::SkipFrame() { return static_cast<long>(++m_frameNum); }

long QrMediaTimer::ActualFrame() {
  double frame = Mark(NO_CHANGE) * m_fps;
  const double kMax = 9.0e18;
  if (!(frame < kMax)) {
    return static_cast<long>(kMax);
  }
  return static_cast<long>(frame);
}
