// A started default logger whose only writer is a TestLogWriter, for the life of a test; its
// start-up lines cleared. The destructor shuts all logging down. The logging poll thread logs
// item changes at debug and trace level: there, look for messages rather than whole lists.
// Not thread safe itself; the code under test may log from any thread.
#ifndef TESTS_SUPPORT_SCOPEDTESTLOGGER_H
#define TESTS_SUPPORT_SCOPEDTESTLOGGER_H

#include "logging/Logger.h"
#include "support/TestLogWriter.h"

class ScopedTestLogger {
 public:
  // A default logger "TestLogger" of the application "TestApp".
  explicit ScopedTestLogger(Level level = LOGGER_LOG_VERBOSE);
  ~ScopedTestLogger() { Logger::ShutDown(); }
  ScopedTestLogger(const ScopedTestLogger&) = delete;
  ScopedTestLogger& operator=(const ScopedTestLogger&) = delete;

  // Waits until the logging poll thread is past its own start-up lines, so that they cannot
  // reach a logger started afterwards.
  static void SettlePollThread();

  bool Started() const { return m_started; }
  TestLogWriter* Writer() const { return m_writer.Ptr(); }

 private:
  TestLogWriterPtr m_writer;
  bool m_started = false;
};

#endif  // TESTS_SUPPORT_SCOPEDTESTLOGGER_H
