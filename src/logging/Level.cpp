#include "logging/Level.h"

const char* GetLevelAsStr(Level level) {
  static const char* const kNames[] = {"ALWAYS", "ERROR", "WARN",    "INFO",
                                       "DEBUG",  "TRACE", "VERBOSE", "NEVER"};
  if (level < LOGGER_LOG_ALWAYS || level > LOGGER_LOG_NEVER) {
    return "UNKNOWN";
  }
  return kNames[level];
}

char GetLevelLetter(Level level) {
  static const char kLetters[] = "AEWIDTVN";
  if (level < LOGGER_LOG_ALWAYS || level > LOGGER_LOG_NEVER) {
    return '?';
  }
  return kLetters[level];
}
