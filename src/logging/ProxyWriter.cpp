#include "logging/ProxyWriter.h"

#include <cstring>
#include <string>

#include "logging/LoggerManager.h"
#include "runtime/AutoMutexLock.h"
#include "runtime/StringUtils.h"

namespace {

const char kMarker[] = "@PROXY/";
const size_t kMarkerLen = sizeof(kMarker) - 1;

}  // namespace

ProxyWriter::ProxyWriter() : LogWriter(LOG_WRITER_PROXY), m_proxyFunc(nullptr) {}

void ProxyWriter::SetProxyFunc(ProxyFunc func) {
  AutoMutexLock lock(LoggerManager_GetLock());
  m_proxyFunc = func;
}

bool ProxyWriter::OnClose() {
  SetProxyFunc(nullptr);
  return true;
}

int ProxyWriter::FormatMessagePrefix(char* message, int messageSize, const char* funcName,
                                     Level logLevel) {
  if (message == nullptr || messageSize < 1) {
    return 0;
  }
  return StringUtils::snprintf(message, messageSize, "%s%c%s%c", kMarker,
                               static_cast<char>('0' + logLevel),
                               funcName != nullptr ? funcName : "", '/');
}

bool ProxyWriter::WriteMessage(const RCPtr<LogMessage>& msg) {
  ProxyFunc func;
  {
    AutoMutexLock lock(LoggerManager_GetLock());
    func = m_proxyFunc;
  }
  if (func == nullptr) {
    return false;
  }
  const char* text = LineText(msg);
  if (std::strncmp(text, kMarker, kMarkerLen) != 0) {
    text += std::strspn(text, " \t");
    func("", LOGGER_LOG_ALWAYS, "%s", text);
    return true;
  }
  // A level digit outside the enumeration, or no "/" after the function text: not a line
  // this writer's prefix made.
  char digit = text[kMarkerLen];
  const char* slash = digit != '\0' ? std::strchr(text + kMarkerLen + 1, '/') : nullptr;
  if (digit < '0' + LOGGER_LOG_ALWAYS || digit > '0' + LOGGER_LOG_NEVER || slash == nullptr) {
    return false;
  }
  std::string funcName(text + kMarkerLen + 1, slash);
  func(funcName.c_str(), static_cast<Level>(digit - '0'), "%s", slash + 1);
  return true;
}
