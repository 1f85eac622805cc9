// The plug-in's first and last entry points.
#include "plugin/PluginEntry.h"

#include <strings.h>

#include <cstdlib>

#include "config/Config.h"
#include "config/PathExpand.h"
#include "config/Preference.h"
#include "logging/Log.h"
#include "logging/LoggerManager.h"
#include "runtime/ExceptionBoundary.h"
#include "runtime/QrEventData.h"
#include "runtime/QrPollThread.h"
#include "runtime/RCObject.h"
#include "usbRedirectionPlugin.h"

namespace {

// Gives the library's process-lifetime state (the logger registry with its poll thread and
// lock, the poll-thread table, the event flag lock) back when the library is unloaded, so
// that a host that loads and unloads the plug-in loses no memory. Made before every other
// static object of the library, so its destructor runs after theirs; it frees only when
// nothing of the library can run any more: no logger, the logging poll thread stopped and
// no counted object alive but that state's own. A host that exits without Fini, or with
// sessions still polling, keeps the state: the process is ending anyway.
class ProcessStateRelease {
 public:
  ~ProcessStateRelease() {
    if (!LoggerManager::ReleasePollThreadIfIdle()) {
      return;
    }
    long own = LoggerManager::ProcessLifetimeObjects() + QrPollThread::HandleMapObjects() +
               QrEventData::SignalFlagLockObjects();
    if (RCObject::LiveCount() != own) {
      return;
    }
    LoggerManager::ReleaseAtUnload();
    QrPollThread::ReleaseHandleMap();
    QrEventData::ReleaseSignalFlagLock();
  }
};

ProcessStateRelease gProcessStateRelease __attribute__((init_priority(101)));

}  // namespace

UsbRedirectionLogger usbRedirectionLogger;

Level UsbRedirPlugin_FetchLoggerLevel() {
  static const char* const kLevelWords[] = {"error", "warn", "info", "debug", "trace", "verbose"};
  char* value = Config_GetString(nullptr, "UsbRedirPlugin.log.logLevel");
  if (value == nullptr) {
    return LOGGER_LOG_INFO;
  }
  Level level = LOGGER_LOG_INFO;
  for (int i = 0; i < 6; ++i) {
    if (strcasecmp(value, kLevelWords[i]) == 0) {
      level = static_cast<Level>(LOGGER_LOG_ERROR + i);
      break;
    }
  }
  free(value);
  return level;
}

std::string UsbRedirPlugin_FetchLogConfigFile() {
  char* value = Config_GetString(nullptr, "UsbRedirPlugin.log.configFile");
  if (value == nullptr) {
    return std::string();
  }
  std::string path = PathExpand_Home(value);
  free(value);
  return path;
}

extern "C" {

// Neither entry point reports failure; an exception (see ExceptionBoundary) ends the step it
// came from, and Fini still closes the preferences when the logger's shutdown failed.
void UsbRedirectionPlugin_Init(void) try {
  Preference_Init();
  Level level = UsbRedirPlugin_FetchLoggerLevel();
  usbRedirectionLogger.SetConfigFile(UsbRedirPlugin_FetchLogConfigFile());
  // A logger that cannot start (say, no writable log folder) leaves the plug-in running
  // without logging; nothing here depends on it.
  usbRedirectionLogger.Start("UsbRedirPluginLogger", "UsbRedirPlugin", "", level, true);
  QR_LOG(LOGGER_LOG_INFO, "Load libusbRedirectionPlugin.so\n");
} catch (...) {
  ExceptionBoundary::Caught(__PRETTY_FUNCTION__);
}

void UsbRedirectionPlugin_Fini(void) {
  try {
    QR_LOG(LOGGER_LOG_INFO, "Unload libusbRedirectionPlugin.so\n");
    usbRedirectionLogger.Shutdown();
  } catch (...) {
    ExceptionBoundary::Caught(__PRETTY_FUNCTION__);
  }
  Preference_Exit();
}

}  // extern "C"
