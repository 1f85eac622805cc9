// The plug-in's owner of its logger: started once by the plug-in's Init with the level read
// from the preferences, it creates one named logger, made the process default logger, with
// one rolling file writer, and shuts the whole logging facility down at Fini or unload.
// When a configuration file is named before Start, its reader is attached to the logger
// before it starts, so an operator can change the level, the writers and the file limits
// of a running process by editing that file.
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

  // configKey is accepted and not used. Without a configuration file the level given here
  // and the writer's defaults hold for the life of the plug-in; with one, the file's
  // settings win. A second Start with the same logger name changes nothing and answers
  // true.
  bool Start(const std::string& LoggerName, const std::string& appName,
             const std::string& configKey, Level level, bool IsDefault);
  bool Start(const std::string& LoggerName, const std::string& appName,
             const std::string& configKey, bool IsDefault);
  bool Start(const std::string& appName, const std::string& configKey);
  // The configuration file the next Start attaches; empty for none.
  void SetConfigFile(const std::string& path) { m_configFile = path; }
  // Shuts the logging facility down (every line reaches its file) when a logger is held.
  void Shutdown();

  const LoggerPtr& GetLogger() const { return m_logger; }

 private:
  LoggerPtr m_logger;
  const std::string m_logName;
  std::string m_configFile;
};

#endif  // PLUGIN_USBREDIRECTIONLOGGER_H
