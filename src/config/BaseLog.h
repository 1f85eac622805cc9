// The log of the configuration layer: the "PREF" and "DICT" lines, load failures and message
// lists are written here. Lines go to the process's default logger at info level; a test
// may install a hook that receives every formatted line as well (production never sets it).
// Thread safe: formatting uses only the caller's stack; the hook is called under a mutex.
#ifndef CONFIG_BASELOG_H
#define CONFIG_BASELOG_H

#include <cstdarg>

typedef void (*BaseLogHook)(const char* line, void* context);

void BaseLog_Log(const char* format, ...) __attribute__((format(printf, 1, 2)));
void BaseLog_LogV(const char* format, va_list args) __attribute__((format(printf, 1, 0)));

// Test seam: every line is also handed to hook (null removes it).
void BaseLog_SetHookForTest(BaseLogHook hook, void* context);

#endif  // CONFIG_BASELOG_H
