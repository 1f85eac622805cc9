// Log levels; higher is more verbose. A message of level L is emitted by a logger of
// level M when L <= M.
#ifndef LOGGING_LEVEL_H
#define LOGGING_LEVEL_H

enum Level {
  LOGGER_LOG_ALWAYS = 0,
  LOGGER_LOG_ERROR = 1,
  LOGGER_LOG_WARN = 2,
  LOGGER_LOG_INFO = 3,
  LOGGER_LOG_DEBUG = 4,
  LOGGER_LOG_TRACE = 5,
  LOGGER_LOG_VERBOSE = 6,
  LOGGER_LOG_NEVER = 7
};

// "ALWAYS" ... "NEVER", or "UNKNOWN" for any other value.
const char* GetLevelAsStr(Level level);
// The prefix letter from "AEWIDTVN", or '?' for any other value.
char GetLevelLetter(Level level);

#endif  // LOGGING_LEVEL_H
