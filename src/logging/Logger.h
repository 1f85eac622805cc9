// A Logger is a named set of writers (at most one per LogWriterType) with a level. It is
// configured while not started; Start() initialises the writers and freezes the
// configuration. Loggers live in the process-wide registry (LoggerManager) until
// Logger::ShutDown(). Each call builds one line: the prefix of the first initialised
// writer, then the message, cut to 1023 bytes and ending in a newline.
//
// The static calls every layer uses (Log, Logv, LogHexDump, s_defaultLoggerLogLevel) are
// those of LoggerBase; code outside the logger includes logging/Log.h, not this header.
//
// Thread safe: every static call and every operation on logger state takes the one
// process-wide recursive logging lock (LoggerManager_GetLock()); the level and started
// flag are also readable without it.
#ifndef LOGGING_LOGGER_H
#define LOGGING_LOGGER_H

#include <cstdarg>
#include <cstdint>
#include <list>
#include <map>
#include <set>
#include <string>

#include "logging/Level.h"
#include "logging/LogWriterType.h"
#include "logging/LoggerBase.h"
#include "runtime/RCPtr.h"

class LogWriter;
class LogMessage;
class QrPollThread;
class SettingsReader;

class Logger : public RCObject, public LoggerBase {
 public:
  typedef std::map<LogWriterType, RCPtr<LogWriter>> WriterMap;
  typedef std::list<RCPtr<SettingsReader>> ReadersList;

  // --- Static logging calls beyond LoggerBase's (default logger unless one is given). ---
  // As Log, but dispatched only when the default logger is started and admits the level.
  static void LogProxy(const char* funcName, Level level, const char* format, ...)
      __attribute__((format(printf, 3, 4)));
  static void LogvProxy(const char* funcName, Level level, const char* format, va_list args)
      __attribute__((format(printf, 3, 0)));

  // As Log, through the given logger; nothing for a null logger.
  static void NLog(const RCPtr<Logger>& logger, const char* funcName, Level level,
                   const char* format, ...) __attribute__((format(printf, 4, 5)));
  static void NLogv(const RCPtr<Logger>& logger, const char* funcName, Level level,
                    const char* format, va_list args) __attribute__((format(printf, 4, 0)));
  static void NLogHexDump(const RCPtr<Logger>& logger, const char* funcName, Level level,
                          const void* data, uint32_t size);

  // Delivered only to the writer of the given type, if the logger has one.
  static void Log_Writer(const char* funcName, Level level, LogWriterType type, const char* format,
                         ...) __attribute__((format(printf, 4, 5)));
  static void Logv_Writer(const char* funcName, Level level, LogWriterType type, const char* format,
                          va_list args) __attribute__((format(printf, 4, 0)));
  static void NLog_Writer(const RCPtr<Logger>& logger, const char* funcName, Level level,
                          LogWriterType type, const char* format, ...)
      __attribute__((format(printf, 5, 6)));
  static void NLogv_Writer(const RCPtr<Logger>& logger, const char* funcName, Level level,
                           LogWriterType type, const char* format, va_list args)
      __attribute__((format(printf, 5, 0)));

  // Delivered to the listed writer types that exist, in type order.
  static void Log_Group(const char* funcName, Level level, const std::set<LogWriterType>& types,
                        const char* format, ...) __attribute__((format(printf, 4, 5)));
  static void Logv_Group(const char* funcName, Level level, const std::set<LogWriterType>& types,
                         const char* format, va_list args) __attribute__((format(printf, 4, 0)));
  static void NLog_Group(const RCPtr<Logger>& logger, const char* funcName, Level level,
                         const std::set<LogWriterType>& types, const char* format, ...)
      __attribute__((format(printf, 5, 6)));
  static void NLogv_Group(const RCPtr<Logger>& logger, const char* funcName, Level level,
                          const std::set<LogWriterType>& types, const char* format, va_list args)
      __attribute__((format(printf, 5, 0)));

  // One line "<local time> 0x<thread id> <function>: <message>" on standard output,
  // without lock, level or logger.
  static void LogPrintf(const char* funcName, const char* format, ...)
      __attribute__((format(printf, 2, 3)));
  static void LogvPrintf(const char* funcName, const char* format, va_list args)
      __attribute__((format(printf, 2, 0)));

  // --- Registry (forwarded to the LoggerManager singleton). ---
  // Null for an empty or already registered name (the existing logger is not returned).
  static RCPtr<Logger> Create(const std::string& loggerName, const std::string& appName,
                              bool isDefault);
  static RCPtr<Logger> Get(const std::string& loggerName);
  static bool Exists(const std::string& loggerName);
  // The default logger, or null.
  static RCPtr<Logger> GetDefault();
  static bool SetDefault(const RCPtr<Logger>& logger);
  // The logging poll thread, its scheduler started if it was stopped; null only when the
  // registry cannot be allocated.
  static RCPtr<QrPollThread> GetPollThread();
  // Stops the poll thread, empties the registry and closes every writer (flushing them).
  static void ShutDown();

  // --- Configuration; each setter changes nothing and returns false once started. ---
  bool SetLevel(Level level);
  bool SetEnabled(bool enabled);
  bool SetUseLocalTime(bool useLocalTime);
  bool SetAutoCreationOfWriters(bool autoCreate);

  bool IsStarted() const { return __atomic_load_n(&m_started, __ATOMIC_ACQUIRE); }
  Level GetLevel() const { return __atomic_load_n(&m_level, __ATOMIC_RELAXED); }
  const char* GetLevelAsStr() const;
  bool UseLocalTime() const { return m_useLocalTime; }
  const std::string& GetName() const { return m_name; }
  const std::string& GetAppName() const { return m_appName; }

  // Null when started, when a writer of the type exists, or for a type above
  // LOG_WRITER_STDERR.
  RCPtr<LogWriter> CreateWriter(LogWriterType type);
  // Attaches a writer made by the caller (a writer kind of its own, such as a test
  // writer), under the same rules as CreateWriter; false when refused.
  bool AddWriter(const RCPtr<LogWriter>& writer);
  RCPtr<LogWriter> GetWriter(LogWriterType type) const;
  bool WriterExists(LogWriterType type) const;

  // Attaches a configuration-file reader with the key "<appName>.<loggerName>": its
  // settings apply at Start() and, through its watcher, whenever the file changes. False
  // for an empty application name or path; true even while the file cannot be read.
  bool AddConfigFileReader(const std::string& filePath);
  // The attached readers, in the order added.
  ReadersList GetReaders() const;
  bool AddRegistryReader(const std::string& rootKey, const std::string& hive);  // false
  bool RetrieveDefaultConfigFolderPath(std::string& path);                      // false

  // Reads settings, initialises every writer; true once at least one writer initialised.
  bool Start();
  // Applies every reader in the order added; or one reader, in the order: logger
  // settings, file writer, syslog writer, debug, standard output, standard error writer.
  // Before start, readers may create writers; after start, only the settings a reader
  // may change at run time move (level, time base, buffering, writer switches, file
  // limits), each change logged at ALWAYS under the reader's Name().
  void ReadSettings();
  void ReadSettings(const RCPtr<SettingsReader>& reader);
  // ReadSettings(reader) for a reader applying itself, without taking a reference to it.
  void ApplySettings(SettingsReader* reader);
  // Detaches every writer and reader (under the lock), then closes the writers (outside).
  bool DestroyAllWriters();
  // The four "@..." lines written when the logger starts.
  void LogStartupInfo();

  // The per-logger work behind the static calls; the caller holds the logging lock and
  // the recursion check.
  void SendLogMessage(const char* funcName, Level level, const char* format, ...)
      __attribute__((format(printf, 4, 5)));
  void SendLogMessageV(const char* funcName, Level level, const char* format, va_list args)
      __attribute__((format(printf, 4, 0)));
  void SendLogMessageHexDump(const char* funcName, Level level, const void* data, uint32_t size);
  void SendLogMessage_Writer(const char* funcName, Level level, LogWriterType type,
                             const char* format, va_list args)
      __attribute__((format(printf, 5, 0)));
  void SendLogMessage_Group(const char* funcName, Level level, const std::set<LogWriterType>& types,
                            const char* format, va_list args) __attribute__((format(printf, 5, 0)));

  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

 protected:
  ~Logger() override;

 private:
  friend class LoggerManager;
  Logger(const std::string& name, const std::string& appName);

  // Filter of the writers one call reaches: all (null type and set), one, or a group.
  void SendFiltered(const char* funcName, Level level, const LogWriterType* onlyType,
                    const std::set<LogWriterType>* group, const char* format, va_list args);
  void AppendLogMessageToWriter(LogWriter* writer, RCPtr<LogMessage>& message, const char* funcName,
                                Level level, const char* format, va_list args);
  bool InsertWriter(const RCPtr<LogWriter>& writer, LogWriterType type);
  void ApplyLoggerSettings(SettingsReader* reader);
  void ApplyFileWriterSettings(SettingsReader* reader);
  void ApplySyslogSettings(SettingsReader* reader);
  // The writer rule: the boolean key switches the writer of the type on (creating it
  // before start) or off; answers the writer, or null when there is none.
  RCPtr<LogWriter> ApplyWriterSwitch(SettingsReader* reader, LogWriterType type, const char* key,
                                     const char* kind);

  WriterMap m_writerMap;      // guarded by the logging lock
  ReadersList m_readersList;  // guarded by the logging lock
  const std::string m_name;
  const std::string m_appName;
  Level m_level;  // written under the logging lock, read atomically
  std::string m_levelLocation;
  bool m_useLocalTime;
  bool m_enabled;
  bool m_started;  // written under the logging lock, read atomically
  bool m_autoCreateWriters;
};

typedef RCPtr<Logger> LoggerPtr;

#endif  // LOGGING_LOGGER_H
