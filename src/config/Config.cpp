#include "config/Config.h"

#include <cstdarg>
#include <cstdio>

#include "config/Preference.h"

namespace {

// The formatted name; vsnprintf cuts it to the buffer and always terminates it.
class ConfigName {
 public:
  ConfigName(const char* format, va_list args) __attribute__((format(printf, 2, 0))) {
    m_name[0] = '\0';
    if (format != nullptr) {
      vsnprintf(m_name, sizeof m_name, format, args);
    }
  }
  const char* Get() const { return m_name; }

 private:
  char m_name[CONFIG_NAME_BUFFER_SIZE];
};

}  // namespace

#define CONFIG_FORWARD(lastArg, call) \
  va_list args;                       \
  va_start(args, lastArg);            \
  ConfigName name(lastArg, args);     \
  va_end(args);                       \
  return call

char* Config_GetString(const char* defaultValue, const char* format, ...) {
  CONFIG_FORWARD(format, Preference_GetString(defaultValue, name.Get()));
}

char* Config_GetStringPlain(const char* defaultValue, const char* format, ...) {
  CONFIG_FORWARD(format, Preference_GetString(defaultValue, name.Get()));
}

Bool Config_GetBool(Bool defaultValue, const char* format, ...) {
  CONFIG_FORWARD(format, Preference_GetBool(defaultValue, name.Get()));
}

int32_t Config_GetLong(int32_t defaultValue, const char* format, ...) {
  CONFIG_FORWARD(format, Preference_GetLong(defaultValue, name.Get()));
}

int64_t Config_GetInt64(int64_t defaultValue, const char* format, ...) {
  CONFIG_FORWARD(format, Preference_GetInt64(defaultValue, name.Get()));
}

int32_t Config_GetTriState(int32_t defaultValue, const char* format, ...) {
  CONFIG_FORWARD(format, Preference_GetTriState(defaultValue, name.Get()));
}

double Config_GetDouble(double defaultValue, const char* format, ...) {
  CONFIG_FORWARD(format, Preference_GetDouble(defaultValue, name.Get()));
}

char* Config_GetPathName(const char* defaultValue, const char* format, ...) {
  CONFIG_FORWARD(format, Preference_GetPathName(defaultValue, name.Get()));
}

Bool Config_NotSet(const char* format, ...) {
  CONFIG_FORWARD(format, Preference_NotSet(name.Get()));
}

Bool Config_TriToBool(Bool defaultValue, int32_t tri) {
  return tri == -1 ? defaultValue : static_cast<Bool>(tri);
}
