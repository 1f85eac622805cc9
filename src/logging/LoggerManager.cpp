#include "logging/LoggerManager.h"

#include <new>
#include <vector>

#include "logging/LogWriter.h"
#include "runtime/AutoMutexLock.h"
#include "runtime/LazyInstance.h"
#include "runtime/QrPollThread.h"

LoggerManager* LoggerManager::m_pInstance = nullptr;

namespace {

// A QrMutex is two counted objects: the handle and its shared data.
const long kObjectsPerMutex = 2;

LazyInstance<QrMutex> gLoggingLock;

}  // namespace

QrMutex& LoggerManager_GetLock() {
  // Kept while the library is loaded: threads may log while static destructors run at
  // process exit.
  return gLoggingLock.Get([] { return new QrMutex(false, ""); });
}

LoggerManager* LoggerManager::GetExistingInstance() {
  return __atomic_load_n(&m_pInstance, __ATOMIC_ACQUIRE);
}

LoggerManager* LoggerManager::GetInstance() {
  LoggerManager* instance = GetExistingInstance();
  if (instance != nullptr) {
    return instance;
  }
  AutoMutexLock lock(LoggerManager_GetLock());
  instance = GetExistingInstance();
  if (instance == nullptr) {
    // Log calls made while the manager is built find no instance and emit nothing.
    instance = new (std::nothrow) LoggerManager();
    __atomic_store_n(&m_pInstance, instance, __ATOMIC_RELEASE);
  }
  return instance;
}

LoggerManager::LoggerManager()
    : m_pollThread(new (std::nothrow) QrPollThread("Logger")),
      m_schedulerRunning(false),
      m_shuttingDown(false) {
  if (m_pollThread.Ptr() != nullptr) {
    m_pollThread->SetLock(&LoggerManager_GetLock());
  }
}

LoggerManager::~LoggerManager() = default;

LoggerPtr LoggerManager::CreateLogger(const std::string& loggerName, const std::string& appName,
                                      bool isDefault) {
  AutoMutexLock lock(LoggerManager_GetLock());
  if (loggerName.empty() || m_loggerMap.count(loggerName) != 0) {
    return LoggerPtr();
  }
  LoggerPtr logger(new (std::nothrow) Logger(loggerName, appName));
  if (logger.Ptr() == nullptr) {
    return logger;
  }
  m_loggerMap[loggerName] = logger;
  if (isDefault) {
    SetDefaultLogger(logger);
  }
  return logger;
}

LoggerPtr LoggerManager::GetLogger(const std::string& loggerName) {
  AutoMutexLock lock(LoggerManager_GetLock());
  auto it = m_loggerMap.find(loggerName);
  return it != m_loggerMap.end() ? it->second : LoggerPtr();
}

bool LoggerManager::LoggerExists(const std::string& loggerName) {
  AutoMutexLock lock(LoggerManager_GetLock());
  return m_loggerMap.count(loggerName) != 0;
}

LoggerPtr LoggerManager::GetDefaultLogger() {
  AutoMutexLock lock(LoggerManager_GetLock());
  return m_defaultLogger;
}

bool LoggerManager::SetDefaultLogger(const LoggerPtr& logger) {
  AutoMutexLock lock(LoggerManager_GetLock());
  m_defaultLogger = logger;
  Level level = LOGGER_LOG_ALWAYS;
  if (logger.Ptr() != nullptr && logger->IsStarted()) {
    level = logger->GetLevel();
  }
  __atomic_store_n(&Logger::s_defaultLoggerLogLevel, level, __ATOMIC_RELAXED);
  return true;
}

RCPtr<QrPollThread> LoggerManager::GetPollThread() {
  AutoMutexLock lock(LoggerManager_GetLock());
  // While shutting down the thread is handed out but not started: closing writers must
  // not bring back the thread that ShutDown has just stopped.
  if (m_pollThread.Ptr() != nullptr && !m_schedulerRunning && !m_shuttingDown) {
    m_schedulerRunning = m_pollThread->StartScheduler();
  }
  return m_pollThread;
}

bool LoggerManager::ReleasePollThreadIfIdle() {
  LoggerManager* instance = GetExistingInstance();
  if (instance == nullptr) {
    return true;
  }
  RCPtr<QrPollThread> pollThread;  // released after the lock: its end takes the lock
  AutoMutexLock lock(LoggerManager_GetLock());
  if (!instance->m_loggerMap.empty() || instance->m_defaultLogger.Ptr() != nullptr ||
      instance->m_schedulerRunning) {
    return false;
  }
  pollThread = instance->m_pollThread;
  instance->m_pollThread = nullptr;
  return true;
}

long LoggerManager::ProcessLifetimeObjects() {
  return gLoggingLock.Exists() ? kObjectsPerMutex : 0;
}

void LoggerManager::ReleaseAtUnload() {
  delete __atomic_exchange_n(&m_pInstance, nullptr, __ATOMIC_ACQ_REL);
  delete gLoggingLock.Take();
}

void LoggerManager::ShutDown() {
  RCPtr<QrPollThread> pollThread;
  {
    AutoMutexLock lock(LoggerManager_GetLock());
    pollThread = m_pollThread;
    m_schedulerRunning = false;
    m_shuttingDown = true;
  }
  // Without the lock: the scheduler and running items take it before they can finish.
  if (pollThread.Ptr() != nullptr) {
    pollThread->StopScheduler();
    pollThread->RemoveAllItems(true);
  }
  std::vector<LoggerPtr> loggers;
  {
    AutoMutexLock lock(LoggerManager_GetLock());
    for (auto& entry : m_loggerMap) {
      loggers.push_back(entry.second);
    }
    m_loggerMap.clear();
    m_defaultLogger = nullptr;
    __atomic_store_n(&Logger::s_defaultLoggerLogLevel, LOGGER_LOG_ALWAYS, __ATOMIC_RELAXED);
  }
  for (auto& logger : loggers) {
    logger->DestroyAllWriters();
  }
  AutoMutexLock lock(LoggerManager_GetLock());
  m_shuttingDown = false;
}
