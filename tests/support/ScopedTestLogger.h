// Starts a default logger whose only writer is a TestLogWriter, for the life of a test:
//   ScopedTestLogger log(LOGGER_LOG_DEBUG);
//   ... code under test ...
//   EXPECT_TRUE(log.Writer()->HasMessage("UsbRedirectionProxy_Poll() session 3 not exist."));
// The start-up lines are cleared, so the writer holds only what the test caused. The
// destructor shuts the whole logging facility down (Logger::ShutDown): one at a time. The
// logging poll thread logs its own item changes at debug and trace level (and its thread
// start and exit at info), so at those levels prefer HasMessage or CountContaining over
// comparing the whole list. Not thread safe itself; the code under test may log from any
// thread.
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

  // Starts the logging poll thread and waits until it is past its own start-up lines, so
  // that they cannot reach a logger started afterwards (call it before starting a logger
  // by hand when a test compares exact lines).
  static void SettlePollThread();

  // Whether the logger started (it does unless another logger of that name exists).
  bool Started() const { return m_started; }
  TestLogWriter* Writer() const { return m_writer.Ptr(); }

 private:
  TestLogWriterPtr m_writer;
  bool m_started = false;
};

#endif  // TESTS_SUPPORT_SCOPEDTESTLOGGER_H
