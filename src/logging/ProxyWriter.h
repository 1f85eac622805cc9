// Hands every line to a callback instead of a device, so that another logging facility
// can take the lines over. Its prefix "@PROXY/<level digit><function text>/" carries the
// level and the caller's full function text, which WriteMessage splits off again before
// it calls the callback with the format "%s" and the rest of the line. Nothing in the
// plug-in sets a callback; without one every write answers false.
// Thread safe as every LogWriter; the callback is set and read under the logging lock and
// called on whichever thread owns the output (see LogWriter).
#ifndef LOGGING_PROXYWRITER_H
#define LOGGING_PROXYWRITER_H

#include "logging/LogWriter.h"

class ProxyWriter : public LogWriter {
 public:
  typedef void (*ProxyFunc)(const char* funcName, Level level, const char* format, ...);

  ProxyWriter();

  void SetProxyFunc(ProxyFunc func);

  bool OnInit() override { return true; }
  bool WriteMessage(const RCPtr<LogMessage>& msg) override;
  // Clears the callback.
  bool OnClose() override;
  int FormatMessagePrefix(char* message, int messageSize, const char* funcName,
                          Level logLevel) override;

 protected:
  ~ProxyWriter() override = default;

 private:
  ProxyFunc m_proxyFunc;  // guarded by the logging lock
};

#endif  // LOGGING_PROXYWRITER_H
