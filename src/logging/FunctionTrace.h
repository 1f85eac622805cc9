// Scope object that logs entry to and exit from an operation:
//   FunctionTrace trace(LOGGER_LOG_DEBUG, __PRETTY_FUNCTION__);
//   ... trace.SetExitMsg(LOGGER_LOG_ERROR, "failed: %d\n", rc);
// Lines go through the given logger, or the default logger when none is given and the
// default level admits the trace level. The trace holds a counted reference to the logger
// it uses until it is destroyed. A stack object owned by one thread; not shared.
#ifndef LOGGING_FUNCTIONTRACE_H
#define LOGGING_FUNCTIONTRACE_H

#include "logging/LoggerBase.h"

class Logger;

class FunctionTrace {
 public:
  // The common form (the default logger, no message) is inline: a trace below the default
  // level, as on every URB, costs the level test and a few stores.
  FunctionTrace(Level logLevel, const char* funcName)
      : m_funcName(funcName),
        m_enterLogLevel(logLevel),
        m_exitLogLevel(logLevel),
        m_logger(nullptr) {
    m_exitMsg[0] = '\0';  // the rest is written only with a message: traces are made per call
    if (LoggerBase::IsEnabled(logLevel)) {
      Begin();
    }
  }
  FunctionTrace(Level logLevel, const char* funcName, Logger* logger, const char* fmt = nullptr,
                ...) __attribute__((format(printf, 5, 6)));
  virtual ~FunctionTrace() {
    if (m_logger != nullptr) {
      LogExit();
      HoldLogger(nullptr);
    }
  }
  FunctionTrace(const FunctionTrace&) = delete;
  FunctionTrace& operator=(const FunctionTrace&) = delete;

  void SetExitMsg(Level logLevel, const char* fmt, ...) __attribute__((format(printf, 3, 4)));

 private:
  static const int kMsgSize = 512;

  // Replaces the held logger; the reference is counted by hand because this header
  // cannot see Logger (see logging/Log.h).
  void HoldLogger(Logger* logger);
  // The two-argument constructor's work once the default level admits the trace.
  void Begin();
  void LogEnter(const char* text);
  void LogExit();

  const char* m_funcName;
  char m_exitMsg[kMsgSize];
  Level m_enterLogLevel;
  Level m_exitLogLevel;
  Logger* m_logger;  // one counted reference, or null
};

#endif  // LOGGING_FUNCTIONTRACE_H
