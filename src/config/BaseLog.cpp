#include "config/BaseLog.h"

#include <atomic>
#include <cstdio>
#include <mutex>

#include "logging/Log.h"

namespace {

// The hook is called under this mutex, so removing it waits for a call in progress.
std::mutex gHookMutex;
BaseLogHook gHook = nullptr;   // guarded by gHookMutex
void* gHookContext = nullptr;  // guarded by gHookMutex
std::atomic<bool> gHookSet{false};

}  // namespace

void BaseLog_SetHookForTest(BaseLogHook hook, void* context) {
  std::lock_guard<std::mutex> guard(gHookMutex);
  gHook = hook;
  gHookContext = context;
  gHookSet.store(hook != nullptr);
}

void BaseLog_LogV(const char* format, va_list args) {
  bool hooked = gHookSet.load();
  if (!hooked && !LoggerBase::IsEnabled(LOGGER_LOG_INFO)) {
    return;
  }
  // Lines longer than the logger's own 1024-byte limit would be cut there anyway.
  char line[1024];
  vsnprintf(line, sizeof line, format, args);
  if (hooked) {
    std::lock_guard<std::mutex> guard(gHookMutex);
    if (gHook != nullptr) {
      gHook(line, gHookContext);
    }
  }
  QR_LOG(LOGGER_LOG_INFO, "%s", line);
}

void BaseLog_Log(const char* format, ...) {
  va_list args;
  va_start(args, format);
  BaseLog_LogV(format, args);
  va_end(args);
}
