#include "logging/SocketWriter.h"

#include <strings.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <netinet/in.h>
#include <new>
#include <sys/socket.h>
#include <sys/time.h>

#include "logging/LoggerManager.h"
#include "runtime/AutoMutexLock.h"
#include "runtime/StringUtils.h"

namespace {

// RFC 5424 allows 255 characters; collectors commonly cut at 64.
const size_t kMaxHostName = 64;

std::string ReadHostName() {
  char name[256];
  if (gethostname(name, sizeof(name)) != 0) {
    return "-";
  }
  name[sizeof(name) - 1] = '\0';
  std::string host(name, strnlen(name, kMaxHostName));
  return host.empty() ? "-" : host;
}

}  // namespace

SocketWriter::SocketWriter()
    : LogWriter(LOG_WRITER_SOCKET), m_remoteAddress("localhost"), m_remotePort(514) {
  SetBufferingEnabled(true);
}

bool SocketWriter::SetCustomOption(const std::string& option, const std::string& value) {
  if (option.empty() || value.empty()) {
    return false;
  }
  AutoMutexLock lock(LoggerManager_GetLock());
  LoggerPtr logger = GetLogger();
  if (logger.Ptr() != nullptr && logger->IsStarted()) {
    return false;
  }
  if (strcasecmp(option.c_str(), "remoteAddress") == 0) {
    m_remoteAddress = value;
    return true;
  }
  uint32_t port = 0;
  if (strcasecmp(option.c_str(), "remotePort") == 0 && ParseOptionNumber(value, &port)) {
    m_remotePort = static_cast<uint16_t>(port);
    return true;
  }
  return false;
}

bool SocketWriter::GetCustomOption(const std::string& option, std::string& value) {
  AutoMutexLock lock(LoggerManager_GetLock());
  if (strcasecmp(option.c_str(), "remoteAddress") == 0) {
    value = m_remoteAddress;
  } else if (strcasecmp(option.c_str(), "remotePort") == 0) {
    value = std::to_string(m_remotePort);
  } else {
    return false;
  }
  return true;
}

bool SocketWriter::OnInit() {
  AutoMutexLock lock(LoggerManager_GetLock());
  RCPtr<QrSocket> socket(new (std::nothrow) QrSocket());
  if (socket.Ptr() == nullptr || !socket->Init(SOCK_DGRAM, IPPROTO_UDP)) {
    return false;
  }
  if (!socket->Connect(m_remoteAddress, m_remotePort)) {
    return false;
  }
  m_socket = socket;
  m_hostName = ReadHostName();
  LoggerPtr logger = GetLogger();
  m_syslogAppName = logger.Ptr() != nullptr ? logger->GetAppName() : std::string();
  if (m_syslogAppName.empty()) {
    m_syslogAppName = "-";
  }
  return true;
}

int SocketWriter::FormatMessagePrefix(char* message, int messageSize, const char* /*funcName*/,
                                      Level /*logLevel*/) {
  if (message == nullptr || messageSize < 1) {
    return 0;
  }
  message[0] = '\0';
  struct timeval now;
  struct tm utc;
  if (gettimeofday(&now, nullptr) != 0 || gmtime_r(&now.tv_sec, &utc) == nullptr) {
    return 0;
  }
  return StringUtils::snprintf(
      message, messageSize, "<1>1 %04d-%02d-%02dT%02d:%02d:%02d.%03dZ %s %s - - ",
      utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
      static_cast<int>(now.tv_usec / 1000), m_hostName.c_str(), m_syslogAppName.c_str());
}

bool SocketWriter::WriteMessage(const RCPtr<LogMessage>& msg) {
  if (!InitializedNoLock()) {
    return false;
  }
  QrSocket* socket = m_socket.Ptr();
  if (socket == nullptr) {
    return true;
  }
  const char* text = LineText(msg);
  int length = static_cast<int>(std::strlen(text));
  return socket->Send(text, length) == length;
}

bool SocketWriter::OnClose() {
  AutoMutexLock lock(LoggerManager_GetLock());
  m_socket = nullptr;
  return true;
}
