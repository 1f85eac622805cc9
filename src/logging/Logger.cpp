#include "logging/Logger.h"

#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "logging/ConfigSettingsReader.h"
#include "logging/DebugWriter.h"
#include "logging/FileWriter.h"
#include "logging/LogMessage.h"
#include "logging/LogWriter.h"
#include "logging/LoggerManager.h"
#include "logging/ProxyWriter.h"
#include "logging/RecursionCheck.h"
#include "logging/SocketWriter.h"
#include "logging/StdErrWriter.h"
#include "logging/StdOutWriter.h"
#include "runtime/AutoMutexLock.h"
#include "runtime/ProcessUtils.h"
#include "runtime/QrPollThread.h"
#include "runtime/QrThread.h"
#include "runtime/StringUtils.h"

Level LoggerBase::s_defaultLoggerLogLevel = LOGGER_LOG_ALWAYS;

namespace {

const int kLineSize = LogWriter::kMaxLineSize;

// One static call: under the logging lock and the recursion check, hands the logger the
// call goes to (the given one, else the default one) to send; nothing when there is none
// or when the call is made from inside another logging call.
template <class Send>
void Dispatch(Logger* given, Send&& send) {
  AutoMutexLock lock(LoggerManager_GetLock());
  Logger* logger = given;
  if (logger == nullptr) {
    LoggerManager* manager = LoggerManager::GetExistingInstance();
    logger = manager != nullptr ? manager->PeekDefaultLogger() : nullptr;
  }
  RecursionCheck check;  // after the lock: the counter is only meaningful under it
  if (logger != nullptr && !check.IsRecursive()) {
    // A line that cannot be built (no memory) is dropped: a log call never fails its
    // caller, which may be a destructor or an export that must not throw.
    try {
      send(logger);
    } catch (...) {
    }
  }
}

bool Admits(const Logger* logger, Level level) {
  return logger->IsStarted() && logger->GetLevel() >= level;
}

}  // namespace

// --- Static logging calls (LoggerBase's three first) ---

void LoggerBase::Log(const char* funcName, Level level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  Logv(funcName, level, format, args);
  va_end(args);
}

void LoggerBase::Logv(const char* funcName, Level level, const char* format, va_list args) {
  Dispatch(nullptr,
           [&](Logger* logger) { logger->SendLogMessageV(funcName, level, format, args); });
}

void Logger::LogProxy(const char* funcName, Level level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  LogvProxy(funcName, level, format, args);
  va_end(args);
}

void Logger::LogvProxy(const char* funcName, Level level, const char* format, va_list args) {
  Dispatch(nullptr, [&](Logger* logger) {
    if (Admits(logger, level)) {
      logger->SendLogMessageV(funcName, level, format, args);
    }
  });
}

void LoggerBase::LogHexDump(const char* funcName, Level level, const void* data, uint32_t size) {
  Dispatch(nullptr,
           [&](Logger* logger) { logger->SendLogMessageHexDump(funcName, level, data, size); });
}

void Logger::NLog(const RCPtr<Logger>& logger, const char* funcName, Level level,
                  const char* format, ...) {
  va_list args;
  va_start(args, format);
  NLogv(logger, funcName, level, format, args);
  va_end(args);
}

void Logger::NLogv(const RCPtr<Logger>& logger, const char* funcName, Level level,
                   const char* format, va_list args) {
  if (logger.Ptr() == nullptr) {
    return;
  }
  Dispatch(logger.Ptr(),
           [&](Logger* target) { target->SendLogMessageV(funcName, level, format, args); });
}

void Logger::NLogHexDump(const RCPtr<Logger>& logger, const char* funcName, Level level,
                         const void* data, uint32_t size) {
  if (logger.Ptr() == nullptr) {
    return;
  }
  Dispatch(logger.Ptr(),
           [&](Logger* target) { target->SendLogMessageHexDump(funcName, level, data, size); });
}

void Logger::Log_Writer(const char* funcName, Level level, LogWriterType type, const char* format,
                        ...) {
  va_list args;
  va_start(args, format);
  Logv_Writer(funcName, level, type, format, args);
  va_end(args);
}

void Logger::Logv_Writer(const char* funcName, Level level, LogWriterType type, const char* format,
                         va_list args) {
  Dispatch(nullptr, [&](Logger* logger) {
    logger->SendLogMessage_Writer(funcName, level, type, format, args);
  });
}

void Logger::NLog_Writer(const RCPtr<Logger>& logger, const char* funcName, Level level,
                         LogWriterType type, const char* format, ...) {
  va_list args;
  va_start(args, format);
  NLogv_Writer(logger, funcName, level, type, format, args);
  va_end(args);
}

void Logger::NLogv_Writer(const RCPtr<Logger>& logger, const char* funcName, Level level,
                          LogWriterType type, const char* format, va_list args) {
  if (logger.Ptr() == nullptr) {
    return;
  }
  Dispatch(logger.Ptr(), [&](Logger* target) {
    target->SendLogMessage_Writer(funcName, level, type, format, args);
  });
}

void Logger::Log_Group(const char* funcName, Level level, const std::set<LogWriterType>& types,
                       const char* format, ...) {
  va_list args;
  va_start(args, format);
  Logv_Group(funcName, level, types, format, args);
  va_end(args);
}

void Logger::Logv_Group(const char* funcName, Level level, const std::set<LogWriterType>& types,
                        const char* format, va_list args) {
  Dispatch(nullptr, [&](Logger* logger) {
    logger->SendLogMessage_Group(funcName, level, types, format, args);
  });
}

void Logger::NLog_Group(const RCPtr<Logger>& logger, const char* funcName, Level level,
                        const std::set<LogWriterType>& types, const char* format, ...) {
  va_list args;
  va_start(args, format);
  NLogv_Group(logger, funcName, level, types, format, args);
  va_end(args);
}

void Logger::NLogv_Group(const RCPtr<Logger>& logger, const char* funcName, Level level,
                         const std::set<LogWriterType>& types, const char* format, va_list args) {
  if (logger.Ptr() == nullptr) {
    return;
  }
  Dispatch(logger.Ptr(), [&](Logger* target) {
    target->SendLogMessage_Group(funcName, level, types, format, args);
  });
}

void Logger::LogPrintf(const char* funcName, const char* format, ...) {
  va_list args;
  va_start(args, format);
  LogvPrintf(funcName, format, args);
  va_end(args);
}

void Logger::LogvPrintf(const char* funcName, const char* format, va_list args) {
  char message[kLineSize];
  StringUtils::vsnprintf(message, sizeof(message), format, args);
  char timeStamp[64];
  if (StringUtils::TimeStr(timeStamp, sizeof(timeStamp), false) <= 0) {
    timeStamp[0] = '\0';
  }
  char name[128];
  name[0] = '\0';
  if (funcName != nullptr) {
    StringUtils::FormatFunctionName(funcName, name, sizeof(name));
  }
  std::fprintf(stdout, "%s 0x%08lX %s: %s\n", timeStamp,
               static_cast<unsigned long>(QrThread::GetCurrentThreadID()), name, message);
}

// --- Registry ---

RCPtr<Logger> Logger::Create(const std::string& loggerName, const std::string& appName,
                             bool isDefault) {
  LoggerManager* manager = LoggerManager::GetInstance();
  return manager != nullptr ? manager->CreateLogger(loggerName, appName, isDefault)
                            : RCPtr<Logger>();
}

RCPtr<Logger> Logger::Get(const std::string& loggerName) {
  LoggerManager* manager = LoggerManager::GetInstance();
  return manager != nullptr ? manager->GetLogger(loggerName) : RCPtr<Logger>();
}

bool Logger::Exists(const std::string& loggerName) {
  LoggerManager* manager = LoggerManager::GetInstance();
  return manager != nullptr && manager->LoggerExists(loggerName);
}

RCPtr<Logger> Logger::GetDefault() {
  LoggerManager* manager = LoggerManager::GetExistingInstance();
  return manager != nullptr ? manager->GetDefaultLogger() : RCPtr<Logger>();
}

bool Logger::SetDefault(const RCPtr<Logger>& logger) {
  LoggerManager* manager = LoggerManager::GetInstance();
  return manager == nullptr || manager->SetDefaultLogger(logger);
}

RCPtr<QrPollThread> Logger::GetPollThread() {
  LoggerManager* manager = LoggerManager::GetInstance();
  return manager != nullptr ? manager->GetPollThread() : RCPtr<QrPollThread>();
}

void Logger::ShutDown() {
  LoggerManager* manager = LoggerManager::GetExistingInstance();
  if (manager != nullptr) {
    manager->ShutDown();
  }
}

// --- Instance ---

Logger::Logger(const std::string& name, const std::string& appName)
    : m_name(name),
      m_appName(appName),
      m_level(LOGGER_LOG_INFO),
      m_useLocalTime(true),
      m_enabled(true),
      m_started(false),
      m_autoCreateWriters(true) {}

Logger::~Logger() = default;

bool Logger::SetLevel(Level level) {
  AutoMutexLock lock(LoggerManager_GetLock());
  if (m_started) {
    return false;
  }
  __atomic_store_n(&m_level, level, __ATOMIC_RELAXED);
  return true;
}

bool Logger::SetEnabled(bool enabled) {
  AutoMutexLock lock(LoggerManager_GetLock());
  if (m_started) {
    return false;
  }
  m_enabled = enabled;
  return true;
}

bool Logger::SetUseLocalTime(bool useLocalTime) {
  AutoMutexLock lock(LoggerManager_GetLock());
  if (m_started) {
    return false;
  }
  m_useLocalTime = useLocalTime;
  return true;
}

bool Logger::SetAutoCreationOfWriters(bool autoCreate) {
  AutoMutexLock lock(LoggerManager_GetLock());
  if (m_started) {
    return false;
  }
  m_autoCreateWriters = autoCreate;
  return true;
}

const char* Logger::GetLevelAsStr() const { return ::GetLevelAsStr(GetLevel()); }

bool Logger::InsertWriter(const RCPtr<LogWriter>& writer, LogWriterType type) {
  if (writer.Ptr() == nullptr) {
    return false;
  }
  writer->m_logger = this;
  m_writerMap[type] = writer;
  return true;
}

RCPtr<LogWriter> Logger::CreateWriter(LogWriterType type) {
  AutoMutexLock lock(LoggerManager_GetLock());
  if (m_started || m_writerMap.count(type) != 0 || type < LOG_WRITER_DEBUG ||
      type > LOG_WRITER_STDERR) {
    return RCPtr<LogWriter>();
  }
  RCPtr<LogWriter> writer;
  switch (type) {
    case LOG_WRITER_DEBUG:
      writer = new (std::nothrow) DebugWriter();
      break;
    case LOG_WRITER_FILE:
      writer = new (std::nothrow) FileWriter();
      break;
    case LOG_WRITER_PROXY:
      writer = new (std::nothrow) ProxyWriter();
      break;
    case LOG_WRITER_SOCKET:
      writer = new (std::nothrow) SocketWriter();
      break;
    case LOG_WRITER_STDOUT:
      writer = new (std::nothrow) StdOutWriter();
      break;
    case LOG_WRITER_STDERR:
      writer = new (std::nothrow) StdErrWriter();
      break;
  }
  InsertWriter(writer, type);
  return writer;
}

bool Logger::AddWriter(const RCPtr<LogWriter>& writer) {
  AutoMutexLock lock(LoggerManager_GetLock());
  if (writer.Ptr() == nullptr || m_started || m_writerMap.count(writer->GetType()) != 0 ||
      writer->m_logger.Ptr() != nullptr) {
    return false;
  }
  return InsertWriter(writer, writer->GetType());
}

RCPtr<LogWriter> Logger::GetWriter(LogWriterType type) const {
  AutoMutexLock lock(LoggerManager_GetLock());
  auto it = m_writerMap.find(type);
  return it != m_writerMap.end() ? it->second : RCPtr<LogWriter>();
}

bool Logger::WriterExists(LogWriterType type) const {
  AutoMutexLock lock(LoggerManager_GetLock());
  return m_writerMap.count(type) != 0;
}

bool Logger::AddConfigFileReader(const std::string& filePath) {
  AutoMutexLock lock(LoggerManager_GetLock());
  if (m_appName.empty() || filePath.empty()) {
    return false;
  }
  RCPtr<SettingsReader> reader(new (std::nothrow)
                                   ConfigSettingsReader(this, m_appName + "." + m_name, filePath));
  if (reader.Ptr() == nullptr) {
    return false;
  }
  m_readersList.push_back(reader);
  return true;
}

Logger::ReadersList Logger::GetReaders() const {
  AutoMutexLock lock(LoggerManager_GetLock());
  return m_readersList;
}

bool Logger::AddRegistryReader(const std::string& /*rootKey*/, const std::string& /*hive*/) {
  return false;
}

bool Logger::RetrieveDefaultConfigFolderPath(std::string& /*path*/) { return false; }

void Logger::ReadSettings() {
  AutoMutexLock lock(LoggerManager_GetLock());
  ReadersList readers = m_readersList;  // a reader's change messages must not see the list move
  for (const RCPtr<SettingsReader>& reader : readers) {
    ApplySettings(reader.Ptr());
  }
}

void Logger::ReadSettings(const RCPtr<SettingsReader>& reader) { ApplySettings(reader.Ptr()); }

void Logger::ApplySettings(SettingsReader* reader) {
  if (reader == nullptr) {
    return;
  }
  AutoMutexLock lock(LoggerManager_GetLock());
  ApplyLoggerSettings(reader);
  ApplyFileWriterSettings(reader);
  ApplySyslogSettings(reader);
  ApplyWriterSwitch(reader, LOG_WRITER_DEBUG, "logToDebugView", "DEBUG");
  ApplyWriterSwitch(reader, LOG_WRITER_STDOUT, "logToStdout", "STDOUT");
  ApplyWriterSwitch(reader, LOG_WRITER_STDERR, "logToStderr", "STDERR");
}

namespace {

const char* const kLevelNames[] = {"ALWAYS", "ERROR", "WARN", "INFO", "DEBUG", "TRACE", "VERBOSE"};

// A level name of the configuration file, case ignored; NEVER is not one.
bool ParseLevelName(const std::string& text, Level* level) {
  for (int i = 0; i < 7; ++i) {
    if (strcasecmp(text.c_str(), kLevelNames[i]) == 0 && text.size() == strlen(kLevelNames[i])) {
      *level = static_cast<Level>(i);
      return true;
    }
  }
  return false;
}

const char* BoolText(bool value) { return value ? "TRUE" : "FALSE"; }

}  // namespace

void Logger::ApplyLoggerSettings(SettingsReader* reader) {
  const char* name = reader->Name();
  // Missing or unreadable values keep what is set before start and fall back to the
  // defaults after it.
  m_levelLocation = reader->LookupLocation("logLevel");
  std::string text;
  Level level = LOGGER_LOG_INFO;
  bool found =
      reader->LookupStringVal("logLevel", false, text, false) && ParseLevelName(text, &level);
  if ((found || m_started) && level != GetLevel()) {
    __atomic_store_n(&m_level, level, __ATOMIC_RELAXED);
    LoggerManager* manager = LoggerManager::GetExistingInstance();
    if (m_started && manager != nullptr && manager->PeekDefaultLogger() == this) {
      __atomic_store_n(&s_defaultLoggerLogLevel, level, __ATOMIC_RELAXED);
    }
    Logger::Log(name, LOGGER_LOG_ALWAYS, "%s changed to %s", "logLevel", ::GetLevelAsStr(level));
  }

  bool value = true;
  found = reader->LookupBoolVal("useLocalTime", &value, false);
  if ((found || m_started) && value != m_useLocalTime) {
    m_useLocalTime = value;
    Logger::Log(name, LOGGER_LOG_ALWAYS, "%s changed to %s", "useLocalTime", BoolText(value));
  }

  value = true;
  found = reader->LookupBoolVal("enableBuffering", &value, false);
  if (found || m_started) {
    WriterMap writers = m_writerMap;
    for (auto& entry : writers) {
      if (entry.second->IsBufferingEnabled() != value) {
        entry.second->SetBufferingEnabled(value);
        Logger::Log(name, LOGGER_LOG_ALWAYS, "%s changed to %s", "enableBuffering",
                    BoolText(value));
      }
    }
  }
}

RCPtr<LogWriter> Logger::ApplyWriterSwitch(SettingsReader* reader, LogWriterType type,
                                           const char* key, const char* kind) {
  RCPtr<LogWriter> writer = GetWriter(type);
  if (writer.Ptr() == nullptr && (!m_autoCreateWriters || m_started)) {
    return writer;
  }
  bool on = false;
  if (!reader->LookupBoolVal(key, &on, false)) {
    return writer;
  }
  if (on) {
    if (writer.Ptr() == nullptr) {
      writer = CreateWriter(type);
      if (writer.Ptr() == nullptr) {
        return writer;
      }
    }
    if (!writer->IsEnabled()) {
      writer->SetEnabled(true);
      if (m_started) {
        Logger::Log(reader->Name(), LOGGER_LOG_ALWAYS, "%s - %s changed to %s", kind, key, "TRUE");
      }
    }
  } else if (writer.Ptr() != nullptr && writer->IsEnabled()) {
    // Said before the switch, so that the writer going quiet still carries the line.
    if (m_started) {
      Logger::Log(reader->Name(), LOGGER_LOG_ALWAYS, "%s - %s changed to %s", kind, key, "FALSE");
    }
    writer->SetEnabled(false);
  }
  return writer;
}

void Logger::ApplyFileWriterSettings(SettingsReader* reader) {
  static const char* const kNumericKeys[][2] = {{"logMaxDaysKept", "maxDaysKept"},
                                                {"logMaxFileSizeMB", "maxFileSizeMB"},
                                                {"logMaxRollingFiles", "maxRollingFiles"},
                                                {"logDiskThresholdLowMB", "diskThresholdLowMB"},
                                                {"logDiskThresholdHighMB", "diskThresholdHighMB"}};
  RCPtr<LogWriter> writer = ApplyWriterSwitch(reader, LOG_WRITER_FILE, "logEnabled", "FILE");
  if (writer.Ptr() == nullptr) {
    return;
  }
  std::string directory;
  if (!m_started && reader->LookupStringVal("logDirectory", false, directory, false)) {
    writer->SetCustomOption("folderPath", directory);
  }
  for (const auto& key : kNumericKeys) {
    DWORD value = 0;
    if (!reader->LookupDWORDVal(key[0], &value, false)) {
      continue;
    }
    std::string current;
    char* end = nullptr;
    if (writer->GetCustomOption(key[1], current) && !current.empty() &&
        std::strtoul(current.c_str(), &end, 10) == value && *end == '\0') {
      continue;
    }
    writer->SetCustomOption(key[1], std::to_string(value));
    if (m_started) {
      Logger::Log(reader->Name(), LOGGER_LOG_ALWAYS, "%s - %s changed to %u", "FILE", key[0],
                  static_cast<unsigned>(value));
    }
  }
}

void Logger::ApplySyslogSettings(SettingsReader* reader) {
  RCPtr<LogWriter> writer = ApplyWriterSwitch(reader, LOG_WRITER_SOCKET, "logToSyslog", "SOCKET");
  if (writer.Ptr() == nullptr || m_started) {
    return;
  }
  std::string address;
  if (reader->LookupStringVal("logRemoteAddress", false, address, false)) {
    writer->SetCustomOption("remoteAddress", address);
  }
  DWORD port = 0;
  if (reader->LookupDWORDVal("logRemotePort", &port, false)) {
    writer->SetCustomOption("remotePort", std::to_string(port));
  }
}

bool Logger::Start() {
  AutoMutexLock lock(LoggerManager_GetLock());
  if (m_started) {
    return true;
  }
  ReadSettings();
  if (!m_enabled || m_writerMap.empty()) {
    return false;
  }
  uint8_t initialised = 0;
  for (auto& entry : m_writerMap) {
    if (entry.second->Init()) {
      ++initialised;
    }
  }
  if (initialised == 0) {
    return false;
  }
  LoggerManager* manager = LoggerManager::GetExistingInstance();
  if (manager != nullptr && manager->PeekDefaultLogger() == this) {
    __atomic_store_n(&s_defaultLoggerLogLevel, GetLevel(), __ATOMIC_RELAXED);
  }
  m_autoCreateWriters = false;
  __atomic_store_n(&m_started, true, __ATOMIC_RELEASE);
  LogStartupInfo();
  return true;
}

bool Logger::DestroyAllWriters() {
  WriterMap writers;
  ReadersList readers;
  {
    AutoMutexLock lock(LoggerManager_GetLock());
    writers.swap(m_writerMap);
    readers.swap(m_readersList);
  }
  readers.clear();  // outside the lock: a reader waits for its watcher's pass to end
  for (auto& entry : writers) {
    entry.second->Close();
  }
  return true;
}

void Logger::LogStartupInfo() {
  AutoMutexLock lock(LoggerManager_GetLock());
  std::string modulePath = ProcessUtils::GetModulePath(true);
  std::string moduleText =
      modulePath.empty() ? std::string("void Logger::LogStartupInfo()") : "@" + modulePath;
  std::string version = ProcessUtils::GetModuleVersion(modulePath);
  std::string versionText =
      version.empty() ? std::string("No version information") : "version=" + version;
  SendLogMessage(moduleText.c_str(), LOGGER_LOG_ALWAYS, "%s%s\n", versionText.c_str(),
                 ", buildtype=release/64-bit");
  SendLogMessage("@OS Version", LOGGER_LOG_ALWAYS, "%s%s\n",
                 ProcessUtils::GetOSDescription().c_str(), "");
  // The other time base than the lines use, so both can be correlated.
  std::string otherTime = StringUtils::TimeStr(m_useLocalTime);
  SendLogMessage("@Time Zone", LOGGER_LOG_ALWAYS, "%s, %s time is %s\n",
                 StringUtils::TimeZone().c_str(), m_useLocalTime ? "UTC" : "Local",
                 otherTime.c_str());
  SendLogMessage("@Log Level", LOGGER_LOG_ALWAYS, "%s (read from %s)\n", GetLevelAsStr(),
                 m_levelLocation.c_str());
}

// --- Dispatch ---

void Logger::SendLogMessage(const char* funcName, Level level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  SendLogMessageV(funcName, level, format, args);
  va_end(args);
}

void Logger::SendLogMessageV(const char* funcName, Level level, const char* format, va_list args) {
  SendFiltered(funcName, level, nullptr, nullptr, format, args);
}

void Logger::SendLogMessage_Writer(const char* funcName, Level level, LogWriterType type,
                                   const char* format, va_list args) {
  SendFiltered(funcName, level, &type, nullptr, format, args);
}

void Logger::SendLogMessage_Group(const char* funcName, Level level,
                                  const std::set<LogWriterType>& types, const char* format,
                                  va_list args) {
  SendFiltered(funcName, level, nullptr, &types, format, args);
}

void Logger::SendFiltered(const char* funcName, Level level, const LogWriterType* onlyType,
                          const std::set<LogWriterType>* group, const char* format, va_list args) {
  if (!Admits(this, level)) {
    return;
  }
  // Built by the first initialised writer, then shared as is by all the others.
  RCPtr<LogMessage> message;
  for (auto& entry : m_writerMap) {
    if ((onlyType != nullptr && entry.first != *onlyType) ||
        (group != nullptr && group->count(entry.first) == 0)) {
      continue;
    }
    AppendLogMessageToWriter(entry.second.Ptr(), message, funcName, level, format, args);
  }
}

void Logger::AppendLogMessageToWriter(LogWriter* writer, RCPtr<LogMessage>& message,
                                      const char* funcName, Level level, const char* format,
                                      va_list args) {
  if (writer == nullptr || !writer->m_initialized) {
    return;
  }
  if (message.Ptr() == nullptr) {
    char buffer[kLineSize];
    buffer[0] = '\0';
    int n = writer->FormatMessagePrefix(buffer, kLineSize, funcName, level);
    if (n < 0 || n >= kLineSize) {
      n = static_cast<int>(strnlen(buffer, kLineSize - 1));
    }
    va_list copy;
    va_copy(copy, args);
    int m = StringUtils::vsnprintf(buffer + n, kLineSize - n, format, copy);
    va_end(copy);
    int total = n + m;
    if (m < 0 || total < 0) {
      total = static_cast<int>(strnlen(buffer, kLineSize - 1));
    }
    message = LogMessage::Create(buffer, static_cast<size_t>(total), level);
    if (message.Ptr() == nullptr) {
      return;
    }
  }
  writer->AppendMessage(message);
}

void Logger::SendLogMessageHexDump(const char* funcName, Level level, const void* data,
                                   uint32_t size) {
  if (!Admits(this, level) || data == nullptr || size == 0) {
    return;
  }
  static const char kHexDigits[] = "0123456789abcdef";
  const unsigned char* bytes = static_cast<const unsigned char*>(data);
  for (auto& entry : m_writerMap) {
    LogWriter* writer = entry.second.Ptr();
    if (writer == nullptr || !writer->m_initialized) {
      continue;
    }
    char buffer[kLineSize];
    buffer[0] = '\0';
    int p = writer->FormatMessagePrefix(buffer, kLineSize, funcName, level);
    if (p < 0 || p >= kLineSize) {
      p = static_cast<int>(strnlen(buffer, kLineSize - 1));
    }
    for (uint32_t offset = 0; offset < size; offset += 16) {
      char hex[16 * 3 + 1];
      char chars[16 + 1];
      for (uint32_t i = 0; i < 16; ++i) {
        if (offset + i < size) {
          unsigned char b = bytes[offset + i];
          hex[i * 3] = kHexDigits[b >> 4];
          hex[i * 3 + 1] = kHexDigits[b & 0xF];
          chars[i] = (b >= 0x20 && b < 0x7F) ? static_cast<char>(b) : '.';
        } else {
          hex[i * 3] = ' ';
          hex[i * 3 + 1] = ' ';
          chars[i] = ' ';
        }
        hex[i * 3 + 2] = ' ';
      }
      hex[48] = '\0';
      chars[16] = '\0';
      if (offset > 0) {
        std::memset(buffer, ' ', static_cast<size_t>(p));
      }
      int m = StringUtils::snprintf(buffer + p, kLineSize - p, "0x%04x: %s- (%s)\n", offset, hex,
                                    chars);
      RCPtr<LogMessage> line(
          LogMessage::Create(buffer, static_cast<size_t>(m < 0 ? p : p + m), level));
      if (line.Ptr() != nullptr) {
        writer->AppendMessage(line);
      }
    }
  }
}
