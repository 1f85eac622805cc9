// Scope object that logs entry to and exit from an operation:
//   FunctionTrace trace(LOGGER_LOG_DEBUG, __PRETTY_FUNCTION__);
//   ... trace.SetExitMsg(LOGGER_LOG_ERROR, "failed: %d\n", rc);
// Lines go through the given logger, or the default logger when none is given and the
// default level admits the trace level. A stack object owned by one thread; not shared.
#ifndef LOGGING_FUNCTIONTRACE_H
#define LOGGING_FUNCTIONTRACE_H

#include "logging/Logger.h"

class FunctionTrace {
 public:
  FunctionTrace(Level logLevel, const char* funcName, RCPtr<Logger> logger = RCPtr<Logger>(),
                const char* fmt = nullptr, ...) __attribute__((format(printf, 5, 6)));
  virtual ~FunctionTrace();
  FunctionTrace(const FunctionTrace&) = delete;
  FunctionTrace& operator=(const FunctionTrace&) = delete;

  void SetExitMsg(Level logLevel, const char* fmt, ...) __attribute__((format(printf, 3, 4)));

 private:
  static const int kMsgSize = 512;

  const char* m_funcName;
  char m_exitMsg[kMsgSize];
  Level m_enterLogLevel;
  Level m_exitLogLevel;
  LoggerPtr m_logger;
};

#endif  // LOGGING_FUNCTIONTRACE_H
