// Typed lookups of settings by a dotted name built from a printf-style format, forwarded
// to the preferences (Preference.h). Names longer than the 1024-byte buffer are cut.
// Thread safe: as the preference calls.
#ifndef CONFIG_CONFIG_H
#define CONFIG_CONFIG_H

#include <cstdint>

#include "runtime/PlatformTypes.h"

#define CONFIG_NAME_BUFFER_SIZE 1024

// A new string the caller frees with free(), or null.
__attribute__((warn_unused_result)) char* Config_GetString(const char* defaultValue,
                                                           const char* format, ...)
    __attribute__((format(printf, 2, 3)));
__attribute__((warn_unused_result)) char* Config_GetStringPlain(const char* defaultValue,
                                                                const char* format, ...)
    __attribute__((format(printf, 2, 3)));
Bool Config_GetBool(Bool defaultValue, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
int32_t Config_GetLong(int32_t defaultValue, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
int64_t Config_GetInt64(int64_t defaultValue, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
int32_t Config_GetTriState(int32_t defaultValue, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
double Config_GetDouble(double defaultValue, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
// A new string with "~" expanded, or null.
__attribute__((warn_unused_result)) char* Config_GetPathName(const char* defaultValue,
                                                             const char* format, ...)
    __attribute__((format(printf, 2, 3)));
Bool Config_NotSet(const char* format, ...) __attribute__((format(printf, 1, 2)));

// defaultValue for -1, else tri.
Bool Config_TriToBool(Bool defaultValue, int32_t tri);

#endif  // CONFIG_CONFIG_H
