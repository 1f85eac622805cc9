#include "runtime/QrTimer.h"

void QrTimer::Init(Mode mode) {
  int64_t now = GetTimerValue();
  if (now < 0) {
    return;
  }
  m_startTime = now;
  m_pauseTime = 0;
  if (mode == PAUSE || mode == RESET_AND_PAUSE) {
    m_pauseTime = now;
  }
}

int64_t QrTimer::GetTimerCount(Mode newMode) {
  const bool paused = IsPaused();
  int64_t now = m_pauseTime;
  if (!paused) {
    now = GetTimerValue();
    if (now < 0) {
      return -1;
    }
  }
  const int64_t elapsed = now - m_startTime;

  // Modes that restart or resume a paused timer need the live clock, not the frozen "now".
  auto clock = [this](int64_t* value) {
    *value = GetTimerValue();
    return *value >= 0;
  };
  int64_t live = 0;
  switch (newMode) {
    case NO_CHANGE:
      break;
    case RESET:
      if (!paused) {
        m_startTime = now;
      } else if (clock(&live)) {
        m_startTime = m_pauseTime = live;
      }
      break;
    case RESUME:
      if (paused && clock(&live)) {
        m_startTime += live - m_pauseTime;
        m_pauseTime = 0;
      }
      break;
    case PAUSE:
      if (!paused) {
        m_pauseTime = now;
      }
      break;
    case RESET_AND_RESUME:
      if (!paused) {
        m_startTime = now;
        m_pauseTime = 0;
      } else if (clock(&live)) {
        m_startTime = live;
        m_pauseTime = 0;
      }
      break;
    case RESET_AND_PAUSE:
      if (!paused) {
        m_startTime = m_pauseTime = now;
      } else if (clock(&live)) {
        m_startTime = m_pauseTime = live;
      }
      break;
  }
  return elapsed;
}

double QrTimer::Mark(Mode newMode) {
  uint64_t count = static_cast<uint64_t>(GetTimerCount(newMode));
  uint64_t frequency = static_cast<uint64_t>(GetTimerFrequency());
  if (frequency == 0) {
    return 0.0;
  }
  return static_cast<double>(count) / static_cast<double>(frequency);
}

int64_t QrTimer::MarkMS64(Mode newMode) {
  const int64_t count = GetTimerCount(newMode);
  int64_t frequency = GetTimerFrequency();
  if (frequency <= 0) {
    frequency = 1000000000;  // nanosecond ticks, the monotonic clock's unit here
  }
  // count * 1000 / frequency, split so the product cannot overflow for long uptimes.
  return (count / frequency) * 1000 + (count % frequency) * 1000 / frequency;
}

int QrTimer::MarkMS(Mode newMode) { return static_cast<int>(MarkMS64(newMode)); }
