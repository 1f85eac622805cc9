// A source of a logger's settings (level, time base, buffering, writer switches and
// limits): the logger asks it for values by name when it starts and after the source
// reports a change (Logger::ReadSettings). Only the configuration file exists as a source
// on this platform (ConfigSettingsReader).
// Thread safe as far as the logger needs: every call is made under the logging lock.
#ifndef LOGGING_SETTINGSREADER_H
#define LOGGING_SETTINGSREADER_H

#include <string>

#include "logging/LogWriterType.h"
#include "runtime/PlatformTypes.h"
#include "runtime/RCPtr.h"

class SettingsReader : public RCObject {
 public:
  virtual SettingsReaderType GetType() const = 0;
  // Names the source; the function text of the change messages.
  virtual const char* Name() const = 0;
  // Each answers whether the value exists (and, for numbers and booleans, is readable).
  virtual bool LookupStringVal(const std::string& valueName, bool isMultiString, std::string& value,
                               bool logError) = 0;
  virtual bool LookupDWORDVal(const std::string& valueName, DWORD* value, bool logError) = 0;
  virtual bool LookupBoolVal(const std::string& valueName, bool* value, bool logError) = 0;
  // Where the value comes from, for people reading the log.
  virtual std::string LookupLocation(const std::string& valueName) = 0;

 protected:
  SettingsReader() = default;
  ~SettingsReader() override = default;
};

typedef RCPtr<SettingsReader> SettingsReaderPtr;

#endif  // LOGGING_SETTINGSREADER_H
