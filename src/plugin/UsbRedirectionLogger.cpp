#include "plugin/UsbRedirectionLogger.h"

#include "logging/LogWriter.h"

namespace {

const uint32_t kMaxBufferedMessages = 500000;
const uint32_t kSyncIntervalMs = 1000;

}  // namespace

UsbRedirectionLogger::UsbRedirectionLogger() : m_logName("UsbRedirectionLogger") {}

UsbRedirectionLogger::~UsbRedirectionLogger() {
  if (m_logger.Ptr() != nullptr) {
    Shutdown();
  }
}

bool UsbRedirectionLogger::Start(const std::string& LoggerName, const std::string& appName,
                                 const std::string& /*configKey*/, Level level,
                                 bool IsDefault) {
  m_logger = Logger::Get(LoggerName);
  if (m_logger.Ptr() != nullptr) {
    QR_LOG(LOGGER_LOG_INFO,
           "Start logging was called after the logger was initialized. Returning.\n");
    return true;
  }
  m_logger = Logger::Create(LoggerName, appName, IsDefault);
  if (m_logger.Ptr() == nullptr) {
    return false;
  }
  m_logger->SetLevel(level);
  RCPtr<LogWriter> writer = m_logger->CreateWriter(LOG_WRITER_FILE);
  if (writer.Ptr() == nullptr) {
    return false;
  }
  writer->SetMaxBufferSize(kMaxBufferedMessages);
  writer->SetSyncInterval(kSyncIntervalMs);
  // A file that does not exist yet is fine: its watcher picks it up when it appears.
  if (!m_configFile.empty()) {
    m_logger->AddConfigFileReader(m_configFile);
  }
  if (!m_logger->Start()) {
    return false;
  }
  QR_LOG(LOGGER_LOG_INFO, "USBRedirection - Logger started with default FileWriter.\n");
  return true;
}

bool UsbRedirectionLogger::Start(const std::string& LoggerName, const std::string& appName,
                                 const std::string& configKey, bool IsDefault) {
  return Start(LoggerName, appName, configKey, LOGGER_LOG_INFO, IsDefault);
}

bool UsbRedirectionLogger::Start(const std::string& appName, const std::string& configKey) {
  return Start(m_logName, appName, configKey, true);
}

void UsbRedirectionLogger::Shutdown() {
  if (m_logger.Ptr() == nullptr) {
    return;
  }
  Logger::ShutDown();
  m_logger = nullptr;
}
