#include "logging/Logger.h"

// Until a logger registry exists, no default logger is ever started: every call is a
// no-op, and s_defaultLoggerLogLevel stays at LOGGER_LOG_ALWAYS.
Level Logger::s_defaultLoggerLogLevel = LOGGER_LOG_ALWAYS;

void Logger::Log(const char* funcName, Level level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  Logv(funcName, level, format, args);
  va_end(args);
}

void Logger::Logv(const char* /*funcName*/, Level /*level*/, const char* /*format*/,
                  va_list /*args*/) {}

void Logger::LogHexDump(const char* /*funcName*/, Level /*level*/, const void* /*data*/,
                        uint32_t /*size*/) {}

void Logger::NLog(RCPtr<Logger> /*logger*/, const char* /*funcName*/, Level /*level*/,
                  const char* /*format*/, ...) {}

RCPtr<Logger> Logger::GetDefault() { return RCPtr<Logger>(); }
