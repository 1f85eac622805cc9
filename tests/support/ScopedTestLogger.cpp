#include "support/ScopedTestLogger.h"

ScopedTestLogger::ScopedTestLogger(Level level, const std::string& loggerName,
                                   const std::string& appName)
    : m_logger(Logger::Create(loggerName, appName, true)), m_writer(new TestLogWriter()) {
  if (m_logger.Ptr() == nullptr) {
    return;
  }
  m_logger->SetLevel(level);
  m_logger->AddWriter(m_writer.Ptr());
  m_started = m_logger->Start();
  m_writer->Clear();
}

ScopedTestLogger::~ScopedTestLogger() { Logger::ShutDown(); }
