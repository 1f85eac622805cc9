// A logger's settings from a text file of lines "<app>.<logger>.<setting> = <value>"
// (split at the first "=", the key compared without regard to case, the setting name
// exactly; other lines are ignored). Attached by Logger::AddConfigFileReader; a poll item
// on the logging poll thread ("ConfigFileWatcher") checks the file's modification time
// every minute and, when it changed, re-reads the file and re-applies it to the logger.
// A file that does not exist yet is picked up when it appears.
// Thread safe: every operation runs under the logging lock (the watcher holds it for the
// whole read-and-apply).
#ifndef LOGGING_CONFIGSETTINGSREADER_H
#define LOGGING_CONFIGSETTINGSREADER_H

#include <ctime>
#include <string>

#include "logging/SettingsReader.h"
#include "runtime/QrPollItem.h"
#include "runtime/QrPropertyManager.h"
#include "runtime/WkPtr.h"

class Logger;

class ConfigSettingsReader : public SettingsReader {
 public:
  // With a logger: watches the file and re-applies it to that logger. Both read the file.
  ConfigSettingsReader(Logger* logger, const std::string& key, const std::string& filePath);
  ConfigSettingsReader(const std::string& key, const std::string& filePath);

  SettingsReaderType GetType() const override { return LOGGER_SETTINGS_CONFIG; }
  const char* Name() const override { return "ConfigFileReader"; }
  bool LookupStringVal(const std::string& valueName, bool isMultiString, std::string& value,
                       bool logError) override;
  // Leading decimal digits (none gives 0; saturates at 4294967295).
  bool LookupDWORDVal(const std::string& valueName, DWORD* value, bool logError) override;
  // "true" or "false", case ignored; any other text counts as missing.
  bool LookupBoolVal(const std::string& valueName, bool* value, bool logError) override;
  // "<file> [<key>.<valueName>]".
  std::string LookupLocation(const std::string& valueName) override;

  // Starts watching (with a logger, once) and reads the file.
  bool Init();
  // Rebuilds the settings from the file; false, with no settings, when it cannot be read.
  bool ReadFile();
  // Rebuilds the settings from the text of a configuration file.
  void ReadText(const std::string& text);
  // One pass of the watcher as the poll thread makes it, for a caller that cannot wait
  // for the minute to pass: re-reads and re-applies the file if its time changed.
  void CheckForChanges();

  const std::string& GetKey() const { return m_key; }
  const std::string& GetFilePath() const { return m_filePath; }

 protected:
  // Takes the watcher off the poll thread, waiting for a pass in progress.
  ~ConfigSettingsReader() override;

 private:
  class PollConfigFileWatcher;

  // The one place the file is read.
  static bool LoadFile(const std::string& path, std::string* text);

  const std::string m_key;
  const std::string m_filePath;
  const QrPropertyManagerPtr m_configMap;  // setting name -> value; guarded by the logging lock
  RCPtr<PollConfigFileWatcher> m_pollWatcher;
  const WkPtr<Logger> m_logger;  // null without a logger
};

typedef RCPtr<ConfigSettingsReader> ConfigSettingsReaderPtr;

class ConfigSettingsReader::PollConfigFileWatcher : public QrPollItem {
 public:
  explicit PollConfigFileWatcher(ConfigSettingsReader* reader);
  // timedOut false only records the file's time; true re-reads and re-applies on a change.
  bool Run(bool timedOut) override;

 private:
  time_t m_modTime;                      // guarded by the logging lock
  ConfigSettingsReader* const m_reader;  // not owned: the reader removes this item first
};

#endif  // LOGGING_CONFIGSETTINGSREADER_H
