// The static half of Logger: the default level that call sites test and the three calls
// every layer logs through. Logger derives from it, so Logger::Log and
// Logger::s_defaultLoggerLogLevel name these same members; code outside the logger sees
// only this class (through logging/Log.h) and never the logger itself.
//
// The calls never fail towards the caller: with no started default logger, with a
// logger whose level is below the message's, or from inside another logging call, they
// emit nothing. They are defined with the dispatch, in Logger.cpp.
// Thread safe: the calls may be made from any thread; s_defaultLoggerLogLevel is written
// only under the logging lock and read through IsEnabled, which loads it atomically.
#ifndef LOGGING_LOGGERBASE_H
#define LOGGING_LOGGERBASE_H

#include <cstdarg>
#include <cstdint>

#include "logging/Level.h"

class LoggerBase {
 public:
  // The default logger's level; 0 while no started default logger exists.
  static Level s_defaultLoggerLogLevel;

  static bool IsEnabled(Level level) {
    return __atomic_load_n(&s_defaultLoggerLogLevel, __ATOMIC_RELAXED) >= level;
  }

  static void Log(const char* funcName, Level level, const char* format, ...)
      __attribute__((format(printf, 3, 4)));
  static void Logv(const char* funcName, Level level, const char* format, va_list args)
      __attribute__((format(printf, 3, 0)));
  static void LogHexDump(const char* funcName, Level level, const void* data, uint32_t size);

 protected:
  LoggerBase() = default;
  ~LoggerBase() = default;
};

// Call sites test the default level first so a disabled message costs one comparison:
//   QR_LOG(LOGGER_LOG_ERROR, "Failed to open %s\n", path);
// A function name that begins with "@" is printed verbatim without the "@".
#define QR_LOG(level, ...)                                        \
  do {                                                            \
    if (LoggerBase::IsEnabled(level)) {                           \
      LoggerBase::Log(__PRETTY_FUNCTION__, (level), __VA_ARGS__); \
    }                                                             \
  } while (0)

// The same on behalf of another function: code shared by several callers logs with the
// signature text (__PRETTY_FUNCTION__) the caller hands it, so each caller's lines keep
// their own function name.
#define QR_LOG_FOR(funcName, level, ...)                 \
  do {                                                   \
    if (LoggerBase::IsEnabled(level)) {                  \
      LoggerBase::Log((funcName), (level), __VA_ARGS__); \
    }                                                    \
  } while (0)

#define QR_LOG_HEXDUMP(level, data, size)                               \
  do {                                                                  \
    if (LoggerBase::IsEnabled(level)) {                                 \
      LoggerBase::LogHexDump(__PRETTY_FUNCTION__, (level), data, size); \
    }                                                                   \
  } while (0)

#endif  // LOGGING_LOGGERBASE_H
