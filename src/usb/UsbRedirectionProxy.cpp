// The exported UsbRedirectionProxy_* entry points of single-server mode.
#include "usb/UsbRedirectionProxy.h"

#include <new>
#include <vector>

#include "logging/Log.h"
#include "runtime/AutoMutexLock.h"
#include "runtime/ExceptionBoundary.h"
#include "usb/HostCallbacks.h"

USBRedir_CallbackInterface gCallbackInterface = {};
UsbRedirSessions gSessions;
QrMutex gUsbRedirSessionMutex(false, "");

namespace {

// A copy of the session's pair, taken in one hold of the mutex; both empty for an unknown
// id. Holding the copy keeps both objects alive for the length of the caller's call.
UsbRedirPair LookupSession(DWORD sessionId) {
  AutoMutexLock lock(gUsbRedirSessionMutex);
  auto it = gSessions.find(sessionId);
  return it != gSessions.end() ? it->second : UsbRedirPair();
}

}  // namespace

bool UsbRedirectionProxy_SessionAlreadyExists(DWORD sessionId) {
  AutoMutexLock lock(gUsbRedirSessionMutex);
  return gSessions.count(sessionId) != 0;
}

BOOL UsbRedirectionProxy_Initialize(DWORD sessionId) {
  if (UsbRedirectionProxy_SessionAlreadyExists(sessionId)) {
    QR_LOG(LOGGER_LOG_INFO, "Session already exists for sessionId = %d.\n", sessionId);
    return TRUE;
  }
  // The table's entry is made before the server starts, so that storing it cannot fail
  // once there is a server to end.
  UsbRedirSessions entry;
  entry.emplace(sessionId, UsbRedirPair());
  RCPtr<UsbRedirectionServer> server = new (std::nothrow) UsbRedirectionServer();
  RCPtr<UsbRedirectionServerPlugin> plugin =
      server.Ptr() != nullptr ? new (std::nothrow) UsbRedirectionServerPlugin(server, sessionId)
                              : nullptr;
  if (plugin.Ptr() == nullptr || plugin->GetExitEvent().Ptr() == nullptr ||
      !server->ServerInitForSession(sessionId, plugin, 0)) {
    QR_LOG(LOGGER_LOG_ERROR, "UsbRedirectionProxy_Initialize() failed.\n");
    server = nullptr;  // the server first, then the plug-in instance
    plugin = nullptr;
    return FALSE;
  }
  UsbRedirSessions::node_type node = entry.extract(sessionId);
  node.mapped() = UsbRedirPair(server, plugin);
  {
    AutoMutexLock lock(gUsbRedirSessionMutex);
    auto stored = gSessions.insert(std::move(node));
    if (!stored.inserted) {
      stored.position->second = stored.node.mapped();  // a pair stored meanwhile is replaced
    }
  }
  QR_LOG(LOGGER_LOG_INFO, "UsbRedirectionProxy_Initialize() server init for session %d.\n",
         sessionId);
  return TRUE;
}

// Each export answers as for a failure when something below throws (the host is C and
// cannot take an exception): see ExceptionBoundary.
extern "C" {

BOOL UsbRedirectionProxy_InitVhubCallback(USBRedir_CallbackInterface* pInterface) try {
  if (pInterface == nullptr) {
    // Outside the contract; refusing it keeps the host alive and changes nothing.
    QR_LOG(LOGGER_LOG_ERROR, "UsbRedirectionProxy_InitVhubCallback() invalid interface.\n");
    return TRUE;
  }
  // Single-server mode takes only the v1 entries; version, v2 and v3 stay as they are.
  gCallbackInterface.v1.OnChannelStateChange = pInterface->v1.OnChannelStateChange;
  gCallbackInterface.v1.OnMessageArrive = pInterface->v1.OnMessageArrive;
  QR_LOG(LOGGER_LOG_INFO, "UsbRedirectionProxy_InitVhubCallback() finished.\n");
  return TRUE;
} catch (...) {
  ExceptionBoundary::Caught(__PRETTY_FUNCTION__);
  return TRUE;
}

BOOL UsbRedirectionProxy_Register(DWORD sessionId) try {
  return UsbRedirectionProxy_Initialize(sessionId);
} catch (...) {
  ExceptionBoundary::Caught(__PRETTY_FUNCTION__);
  return FALSE;
}

void UsbRedirectionProxy_Poll(DWORD sessionId, void* /*threadData*/) try {
  UsbRedirPair pair = LookupSession(sessionId);
  if (pair.first.Ptr() == nullptr) {
    QR_LOG(LOGGER_LOG_ERROR, "UsbRedirectionProxy_Poll() session %d not exist.\n", sessionId);
    return;
  }
  RCPtr<QrEvent> exitEvent = pair.second->GetExitEvent();
  std::vector<QrEvent*> events(1, exitEvent.Ptr());
  // Drives the session's channel service on this thread until Stop sets the exit event.
  pair.first->PollWaitMultiple(events, false, 0xFFFFFFFF, false);
} catch (...) {
  ExceptionBoundary::Caught(__PRETTY_FUNCTION__);
}

void UsbRedirectionProxy_Stop(DWORD sessionId) try {
  UsbRedirPair pair = LookupSession(sessionId);
  if (pair.second.Ptr() == nullptr) {
    QR_LOG(LOGGER_LOG_ERROR, "UsbRedirectionProxy_Stop() session %d not exist.\n", sessionId);
    return;
  }
  RCPtr<QrEvent> exitEvent = pair.second->GetExitEvent();
  exitEvent->Set();  // manual reset: a Poll started later returns after one round
} catch (...) {
  ExceptionBoundary::Caught(__PRETTY_FUNCTION__);
}

void UsbRedirectionProxy_Unregister(DWORD sessionId) try {
  UsbRedirPair pair;
  {
    AutoMutexLock lock(gUsbRedirSessionMutex);
    auto it = gSessions.find(sessionId);
    if (it != gSessions.end()) {
      pair = it->second;
      gSessions.erase(it);
    }
  }
  if (pair.first.Ptr() == nullptr) {
    QR_LOG(LOGGER_LOG_ERROR, "UsbRedirectionProxy_Unregister() session %d not exist.\n", sessionId);
    return;
  }
  pair.first->ServerExitForSession(sessionId, pair.second, false);
  QR_LOG(LOGGER_LOG_INFO, "UsbRedirectionProxy_Unregister() server exit for session %d.\n",
         sessionId);
  pair.first = nullptr;  // the server first, then the plug-in instance
  pair.second = nullptr;
} catch (...) {
  ExceptionBoundary::Caught(__PRETTY_FUNCTION__);
}

BOOL UsbRedirectionProxy_SendResponse(DWORD sessionId, char* data, uint32_t length,
                                      USB_RedirPackageType type,
                                      USBRedir_SendResponseExt* extData) try {
  UsbRedirPair pair = LookupSession(sessionId);
  if (pair.second.Ptr() == nullptr) {
    QR_LOG(LOGGER_LOG_ERROR, "UsbRedirectionProxy_SendResponse session %d not exist.\n", sessionId);
    return FALSE;
  }
  // Send failures are logged by the plug-in instance; the host only learns the session.
  pair.second->SendMessage(data, length, type, extData);
  return TRUE;
} catch (...) {
  ExceptionBoundary::Caught(__PRETTY_FUNCTION__);
  return FALSE;
}

}  // extern "C"
