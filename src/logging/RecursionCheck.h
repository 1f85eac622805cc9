// Scope object that every logging entry point holds for its whole duration. All entry
// points run under the logging lock, so one process-wide counter tells whether the
// lock holder is already inside a logging call (a writer or settings reader that logs):
// such inner calls must emit nothing. Thread safe: the counter changes atomically.
#ifndef LOGGING_RECURSIONCHECK_H
#define LOGGING_RECURSIONCHECK_H

class RecursionCheck {
 public:
  RecursionCheck();
  ~RecursionCheck();
  RecursionCheck(const RecursionCheck&) = delete;
  RecursionCheck& operator=(const RecursionCheck&) = delete;

  // True when this scope is nested inside another logging call.
  bool IsRecursive() const { return m_count >= 2; }

 private:
  static volatile long s_count;
  long m_count;  // the counter's value right after this scope's increment
};

#endif  // LOGGING_RECURSIONCHECK_H
