#include "logging/FunctionTrace.h"

#include <cstdio>

namespace {

bool Admits(const LoggerPtr& logger, Level level) {
  return logger.Ptr() != nullptr && logger->IsStarted() && logger->GetLevel() >= level;
}

}  // namespace

FunctionTrace::FunctionTrace(Level logLevel, const char* funcName, RCPtr<Logger> logger,
                             const char* fmt, ...)
    : m_funcName(funcName),
      m_exitMsg{},
      m_enterLogLevel(logLevel),
      m_exitLogLevel(logLevel),
      m_logger(logger) {
  if (m_logger.Ptr() == nullptr && Logger::IsEnabled(logLevel)) {
    m_logger = Logger::GetDefault();
  }
  if (!Admits(m_logger, m_enterLogLevel)) {
    return;
  }
  if (fmt != nullptr && fmt[0] != '\0') {
    char text[kMsgSize];
    va_list args;
    va_start(args, fmt);
    vsnprintf(text, sizeof(text), fmt, args);
    va_end(args);
    Logger::NLog(m_logger, m_funcName, m_enterLogLevel, "Enter - %s", text);
  } else {
    Logger::NLog(m_logger, m_funcName, m_enterLogLevel, "Enter\n");
  }
}

void FunctionTrace::SetExitMsg(Level logLevel, const char* fmt, ...) {
  if (m_logger.Ptr() != nullptr) {
    if (!Admits(m_logger, logLevel)) {
      return;
    }
  } else {
    if (!Logger::IsEnabled(logLevel)) {
      return;
    }
    m_logger = Logger::GetDefault();
  }
  m_exitLogLevel = logLevel;
  va_list args;
  va_start(args, fmt);
  vsnprintf(m_exitMsg, sizeof(m_exitMsg), fmt, args);
  va_end(args);
}

FunctionTrace::~FunctionTrace() {
  if (m_logger.Ptr() == nullptr || !m_logger->IsStarted()) {
    return;
  }
  if (m_exitMsg[0] != '\0') {
    if (m_logger->GetLevel() < m_exitLogLevel) {
      return;
    }
    if (m_logger->GetLevel() < m_enterLogLevel) {
      Logger::NLog(m_logger, m_funcName, m_exitLogLevel, "%s", m_exitMsg);
    } else {
      Logger::NLog(m_logger, m_funcName, m_exitLogLevel, "Exit - %s", m_exitMsg);
    }
  } else if (Admits(m_logger, m_enterLogLevel)) {
    Logger::NLog(m_logger, m_funcName, m_enterLogLevel, "Exit\n");
  }
}
