// The log call surface every layer logs through, and the logger behind it.
//
// Call sites test the default level first so a disabled message costs one comparison:
//   QR_LOG(LOGGER_LOG_ERROR, "Failed to open %s\n", path);
// expands to a test of Logger::s_defaultLoggerLogLevel and, only when it passes, to
// Logger::Log(__PRETTY_FUNCTION__, ...). A function name that begins with "@" is printed
// verbatim without the "@". The static calls never fail towards the caller: with no
// started default logger, or from inside another logging call, they emit nothing.
// Thread safe: the static calls may be made from any thread.
#ifndef LOGGING_LOGGER_H
#define LOGGING_LOGGER_H

#include <cstdarg>
#include <cstdint>

#include "logging/Level.h"
#include "runtime/RCPtr.h"

class Logger : public RCObject {
 public:
  // The default logger's level, readable without a lock; 0 while no started default
  // logger exists. Written only by the logger registry.
  static Level s_defaultLoggerLogLevel;

  static bool IsEnabled(Level level) { return s_defaultLoggerLogLevel >= level; }

  static void Log(const char* funcName, Level level, const char* format, ...)
      __attribute__((format(printf, 3, 4)));
  static void Logv(const char* funcName, Level level, const char* format, va_list args)
      __attribute__((format(printf, 3, 0)));
  static void LogHexDump(const char* funcName, Level level, const void* data, uint32_t size);

  // As Log, through the given logger; nothing for a null logger.
  static void NLog(RCPtr<Logger> logger, const char* funcName, Level level,
                   const char* format, ...) __attribute__((format(printf, 4, 5)));

  // The default logger, or null.
  static RCPtr<Logger> GetDefault();

  bool IsStarted() const { return m_started; }
  Level GetLevel() const { return m_level; }

 protected:
  ~Logger() override = default;

 private:
  Level m_level = LOGGER_LOG_INFO;
  bool m_started = false;
};

typedef RCPtr<Logger> LoggerPtr;

#define QR_LOG(level, ...)                                          \
  do {                                                              \
    if (Logger::IsEnabled(level)) {                                 \
      Logger::Log(__PRETTY_FUNCTION__, (level), __VA_ARGS__);       \
    }                                                               \
  } while (0)

#define QR_LOG_HEXDUMP(level, data, size)                           \
  do {                                                              \
    if (Logger::IsEnabled(level)) {                                 \
      Logger::LogHexDump(__PRETTY_FUNCTION__, (level), data, size); \
    }                                                               \
  } while (0)

#endif  // LOGGING_LOGGER_H
