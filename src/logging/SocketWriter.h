// Sends every line as one UDP datagram to a syslog collector, with an RFC 5424 header
// ("<1>1 <UTC time> <host> <application> - - ") in place of the standard prefix. Options
// "remoteAddress" (default "localhost") and "remotePort" (default 514) choose the
// collector while the logger is not started. Buffered from construction, so datagrams
// leave from the logging poll thread; lost datagrams are not retried.
// Thread safe as every LogWriter: options under the logging lock, the socket used only by
// the thread that owns the output.
#ifndef LOGGING_SOCKETWRITER_H
#define LOGGING_SOCKETWRITER_H

#include <cstdint>
#include <string>

#include "logging/LogWriter.h"
#include "runtime/QrSocket.h"

class SocketWriter : public LogWriter {
 public:
  SocketWriter();

  bool SetCustomOption(const std::string& option, const std::string& value) override;
  bool GetCustomOption(const std::string& option, std::string& value) override;
  // Opens a UDP socket connected to the collector; false when either step fails.
  bool OnInit() override;
  bool WriteMessage(const RCPtr<LogMessage>& msg) override;
  bool OnClose() override;
  int FormatMessagePrefix(char* message, int messageSize, const char* funcName,
                          Level logLevel) override;

 protected:
  ~SocketWriter() override = default;

 private:
  std::string m_syslogAppName;  // set by OnInit
  std::string m_remoteAddress;  // guarded by the logging lock
  uint16_t m_remotePort;        // guarded by the logging lock
  RCPtr<QrSocket> m_socket;     // changed only by the output's owner
  std::string m_hostName;       // read once by OnInit; "-" when unknown
};

#endif  // LOGGING_SOCKETWRITER_H
