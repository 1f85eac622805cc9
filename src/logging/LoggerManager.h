// The process-wide registry of loggers: loggers by name, the default logger, and the
// logging poll thread ("Logger") on which writers drain their queues. Created on first
// use and never destroyed while the library is loaded, so log calls made during process
// exit still find it. ShutDown() stops the poll thread, empties the registry and closes
// every writer; nothing of the facility runs afterwards until the registry is used again.
// When the library is unloaded after a ShutDown, the plug-in gives the registry and the
// logging lock back (see ReleasePollThreadIfIdle and ReleaseAtUnload).
// Thread safe: all state is guarded by the logging lock, LoggerManager_GetLock(), which
// is also the poll thread's lock.
#ifndef LOGGING_LOGGERMANAGER_H
#define LOGGING_LOGGERMANAGER_H

#include <map>
#include <string>

#include "logging/Logger.h"
#include "runtime/QrMutex.h"

class QrPollThread;

// The one recursive lock behind all logging state, constructed on first call.
QrMutex& LoggerManager_GetLock();

class LoggerManager {
 public:
  // The registry, created on first call; null only if it cannot be allocated.
  static LoggerManager* GetInstance();
  // The registry if it was ever created, else null; never creates it.
  static LoggerManager* GetExistingInstance();

  virtual ~LoggerManager();

  LoggerPtr CreateLogger(const std::string& loggerName, const std::string& appName, bool isDefault);
  LoggerPtr GetLogger(const std::string& loggerName);
  bool LoggerExists(const std::string& loggerName);
  LoggerPtr GetDefaultLogger();
  // Stores the logger and sets the default level from it (0 unless it is started).
  bool SetDefaultLogger(const LoggerPtr& logger);
  // The default logger without a new reference; the caller holds the logging lock.
  Logger* PeekDefaultLogger() const { return m_defaultLogger.Ptr(); }
  RCPtr<QrPollThread> GetPollThread();
  void ShutDown();

  // For the library's unload only. When no logger exists and the poll thread is stopped,
  // drops the poll thread and answers true; otherwise changes nothing and answers false.
  static bool ReleasePollThreadIfIdle();
  // The number of RCObjects the registry and the logging lock hold once the poll thread is
  // dropped (0 while neither exists).
  static long ProcessLifetimeObjects();
  // For the library's unload only, after ReleasePollThreadIfIdle and once nothing can log
  // any more: frees the registry and the logging lock (a later use would make new ones).
  static void ReleaseAtUnload();

  LoggerManager(const LoggerManager&) = delete;
  LoggerManager& operator=(const LoggerManager&) = delete;

 private:
  LoggerManager();

  static LoggerManager* m_pInstance;  // published once, read atomically

  LoggerPtr m_defaultLogger;                     // guarded by the logging lock
  std::map<std::string, LoggerPtr> m_loggerMap;  // guarded by the logging lock
  RCPtr<QrPollThread> m_pollThread;
  bool m_schedulerRunning;  // guarded by the logging lock
  bool m_shuttingDown;      // guarded by the logging lock
};

#endif  // LOGGING_LOGGERMANAGER_H
