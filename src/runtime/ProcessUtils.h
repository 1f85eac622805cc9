// Process and operating-system facts for the logger's start-up lines and the channel
// framework: module version, OS description, plug-in loading, and the desktop session
// look-ups that have fixed answers on this platform.
// Thread safe: no shared state.
#ifndef RUNTIME_PROCESSUTILS_H
#define RUNTIME_PROCESSUTILS_H

#include <string>

#include "logging/Level.h"
#include "runtime/PlatformTypes.h"

enum OSVersion { OS_VERSION_LINUX = 0x10000 };

namespace ProcessUtils {

DWORD GetSessionID(bool fromThread, DWORD sessionID);  // sessionID unchanged
std::string GetModulePath(bool currentModule);         // empty: not known here
// "build-<number> (<date> <time>)" of this build; the build sets the number
// (cmake/BuildNumber.cmake).
std::string GetModuleVersion(const std::string& modulePath);
// "<kernel name>, <release>, <version>" from uname, or "Linux".
std::string GetOSDescription();
OSVersion GetOSVersion();
// dlopen with lazy binding; null (logged at logLevel) when it cannot be loaded.
void* LoadPlugin(const char* pluginFilename, Level logLevel);

bool FindProcessByName(const std::string& processName);
bool IsValidSessionID(DWORD sessionID);
bool IsOS64Bit();
bool IsWow64Process();
bool IsSessionLoggedOn(DWORD sessionID);
bool IsSessionConnected(DWORD sessionID);
bool IsRdpSession(DWORD sessionID);
const char* WTSSessionStatusStr(int status);
const char* WTSConnectStateStr(int state);
// Always false; *userSID becomes null.
bool GetUserSIDForSession(DWORD sessionID, char** userSID, int logLevel);
void DebugBox();

}  // namespace ProcessUtils

#endif  // RUNTIME_PROCESSUTILS_H
