#include "logging/FunctionTrace.h"

#include <cstdio>

#include "logging/Logger.h"

namespace {

bool Admits(const Logger* logger, Level level) {
  return logger != nullptr && logger->IsStarted() && logger->GetLevel() >= level;
}

}  // namespace

FunctionTrace::FunctionTrace(Level logLevel, const char* funcName, Logger* logger, const char* fmt,
                             ...)
    : m_funcName(funcName), m_enterLogLevel(logLevel), m_exitLogLevel(logLevel), m_logger(nullptr) {
  m_exitMsg[0] = '\0';  // the rest is written only with a message: traces are made per call
  if (logger != nullptr) {
    HoldLogger(logger);
  } else if (Logger::IsEnabled(logLevel)) {
    HoldLogger(Logger::GetDefault());
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
    LogEnter(text);
  } else {
    LogEnter(nullptr);
  }
}

void FunctionTrace::Begin() {
  HoldLogger(Logger::GetDefault());
  if (Admits(m_logger, m_enterLogLevel)) {
    LogEnter(nullptr);
  }
}

void FunctionTrace::LogEnter(const char* text) {
  if (text != nullptr) {
    Logger::NLog(m_logger, m_funcName, m_enterLogLevel, "Enter - %s", text);
  } else {
    Logger::NLog(m_logger, m_funcName, m_enterLogLevel, "Enter\n");
  }
}

void FunctionTrace::SetExitMsg(Level logLevel, const char* fmt, ...) {
  if (m_logger != nullptr) {
    if (!Admits(m_logger, logLevel)) {
      return;
    }
  } else {
    if (!Logger::IsEnabled(logLevel)) {
      return;
    }
    HoldLogger(Logger::GetDefault());
  }
  m_exitLogLevel = logLevel;
  va_list args;
  va_start(args, fmt);
  vsnprintf(m_exitMsg, sizeof(m_exitMsg), fmt, args);
  va_end(args);
}

void FunctionTrace::HoldLogger(Logger* logger) {
  if (logger != nullptr) {
    logger->AddRef();
  }
  if (m_logger != nullptr) {
    m_logger->Release();
  }
  m_logger = logger;
}

void FunctionTrace::LogExit() {
  if (m_logger == nullptr || !m_logger->IsStarted()) {
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
