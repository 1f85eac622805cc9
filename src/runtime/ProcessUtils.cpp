#include "runtime/ProcessUtils.h"

#include <dlfcn.h>

#include <sys/utsname.h>

#include "logging/Log.h"
#include "runtime/StringUtils.h"

#ifndef USBREDIR_BUILD_NUMBER
#define USBREDIR_BUILD_NUMBER "0"
#endif

namespace ProcessUtils {

namespace {
const int kMaxOSDescription = 405;
}  // namespace

DWORD GetSessionID(bool /*fromThread*/, DWORD sessionID) { return sessionID; }

std::string GetModulePath(bool /*currentModule*/) { return std::string(); }

std::string GetModuleVersion(const std::string& /*modulePath*/) {
  return std::string("build-") + USBREDIR_BUILD_NUMBER + " (" + __DATE__ + " " + __TIME__ + ")";
}

std::string GetOSDescription() {
  struct utsname info;
  if (uname(&info) != 0) {
    return "Linux";
  }
  char text[kMaxOSDescription + 1];
  StringUtils::snprintf(text, sizeof(text), "%s, %s, %s", info.sysname, info.release, info.version);
  return std::string(text);
}

OSVersion GetOSVersion() { return OS_VERSION_LINUX; }

void* LoadPlugin(const char* pluginFilename, Level logLevel) {
  // dlopen(NULL) would hand back the main program, which is never a plug-in.
  if (pluginFilename == nullptr || pluginFilename[0] == '\0') {
    return nullptr;
  }
  void* handle = dlopen(pluginFilename, RTLD_LAZY);
  if (handle == nullptr) {
    const char* error = dlerror();
    if (LoggerBase::IsEnabled(logLevel)) {
      LoggerBase::Log(__PRETTY_FUNCTION__, logLevel, "Failed to load %s: %s\n", pluginFilename,
                      error != nullptr ? error : "unknown error");
    }
  }
  return handle;
}

bool FindProcessByName(const std::string& /*processName*/) { return false; }
bool IsValidSessionID(DWORD /*sessionID*/) { return false; }
bool IsOS64Bit() { return false; }
bool IsWow64Process() { return false; }
bool IsSessionLoggedOn(DWORD /*sessionID*/) { return false; }
bool IsSessionConnected(DWORD /*sessionID*/) { return false; }
bool IsRdpSession(DWORD /*sessionID*/) { return false; }
const char* WTSSessionStatusStr(int /*status*/) { return nullptr; }
const char* WTSConnectStateStr(int /*state*/) { return nullptr; }

bool GetUserSIDForSession(DWORD /*sessionID*/, char** userSID, int /*logLevel*/) {
  if (userSID != nullptr) {
    *userSID = nullptr;
  }
  return false;
}

void DebugBox() {}

}  // namespace ProcessUtils
