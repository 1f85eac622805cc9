// The plug-in's owner of its logger: started once by the plug-in's Init with the level read
// from the preferences, it creates one named logger, made the process default logger, with
// one rolling file writer, and shuts the whole logging facility down at Fini or unload.
// Not thread safe: Start and Shutdown are called from the host's control thread only.
#ifndef PLUGIN_USBREDIRECTIONLOGGER_H
#define PLUGIN_USBREDIRECTIONLOGGER_H

#include <string>

#include "logging/Logger.h"

class UsbRedirectionLogger {
 public:
  UsbRedirectionLogger();
  virtual ~UsbRedirectionLogger();
  UsbRedirectionLogger(const UsbRedirectionLogger&) = delete;
  UsbRedirectionLogger& operator=(const UsbRedirectionLogger&) = delete;

  // configKey is accepted and not used: no configuration file is attached, so the level
  // given here and the writer's defaults hold for the life of the plug-in. A second Start
  // with the same logger name changes nothing and answers true.
  bool Start(const std::string& LoggerName, const std::string& appName,
             const std::string& configKey, Level level, bool IsDefault);
  bool Start(const std::string& LoggerName, const std::string& appName,
             const std::string& configKey, bool IsDefault);
  bool Start(const std::string& appName, const std::string& configKey);
  // Shuts the logging facility down (every line reaches its file) when a logger is held.
  void Shutdown();

  const LoggerPtr& GetLogger() const { return m_logger; }

 private:
  LoggerPtr m_logger;
  const std::string m_logName;
};

#endif  // PLUGIN_USBREDIRECTIONLOGGER_H
