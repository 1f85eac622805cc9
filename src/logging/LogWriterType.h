// The kinds of log writer a logger may hold (at most one of each) and the kinds of
// settings source. A logger keeps its writers keyed and ordered by LogWriterType, so the
// numeric order below is also the order in which writers receive a line.
#ifndef LOGGING_LOGWRITERTYPE_H
#define LOGGING_LOGWRITERTYPE_H

enum LogWriterType {
  LOG_WRITER_DEBUG = 0,
  LOG_WRITER_FILE = 1,
  LOG_WRITER_PROXY = 2,
  LOG_WRITER_SOCKET = 3,
  LOG_WRITER_STDOUT = 4,
  LOG_WRITER_STDERR = 5
};

enum SettingsReaderType { LOGGER_SETTINGS_REGISTRY = 0, LOGGER_SETTINGS_CONFIG = 1 };

#endif  // LOGGING_LOGWRITERTYPE_H
