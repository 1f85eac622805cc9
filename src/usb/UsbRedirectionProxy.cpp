// The exported UsbRedirectionProxy_* entry points of single-server mode.
//
// Session servers are not wired in yet: no session ever registers, so every per-session
// call answers as for an unknown session.
#include <cstring>

#include "logging/Logger.h"
#include "usb/HostCallbacks.h"
#include "usbRedirectionPlugin.h"

USBRedir_CallbackInterface gCallbackInterface = {};

extern "C" {

BOOL UsbRedirectionProxy_InitVhubCallback(USBRedir_CallbackInterface* pInterface) {
  if (pInterface == nullptr) {
    // Not allowed by the contract; refusing it costs nothing and keeps the host alive.
    QR_LOG(LOGGER_LOG_ERROR, "UsbRedirectionProxy_InitVhubCallback() invalid interface.\n");
    return TRUE;
  }
  // Single-server mode takes only the v1 entries; version, v2 and v3 stay as they are.
  gCallbackInterface.v1.OnChannelStateChange = pInterface->v1.OnChannelStateChange;
  gCallbackInterface.v1.OnMessageArrive = pInterface->v1.OnMessageArrive;
  QR_LOG(LOGGER_LOG_INFO, "UsbRedirectionProxy_InitVhubCallback() finished.\n");
  return TRUE;
}

BOOL UsbRedirectionProxy_Register(DWORD sessionId) {
  QR_LOG(LOGGER_LOG_ERROR, "UsbRedirectionProxy_Initialize() failed.\n");
  return FALSE;
}

void UsbRedirectionProxy_Poll(DWORD sessionId, void* /*threadData*/) {
  QR_LOG(LOGGER_LOG_ERROR, "UsbRedirectionProxy_Poll() session %d not exist.\n", sessionId);
}

void UsbRedirectionProxy_Stop(DWORD sessionId) {
  QR_LOG(LOGGER_LOG_ERROR, "UsbRedirectionProxy_Stop() session %d not exist.\n", sessionId);
}

void UsbRedirectionProxy_Unregister(DWORD sessionId) {
  QR_LOG(LOGGER_LOG_ERROR, "UsbRedirectionProxy_Unregister() session %d not exist.\n",
         sessionId);
}

BOOL UsbRedirectionProxy_SendResponse(DWORD sessionId, char* /*data*/, uint32_t /*length*/,
                                      USB_RedirPackageType /*type*/,
                                      USBRedir_SendResponseExt* /*extData*/) {
  QR_LOG(LOGGER_LOG_ERROR, "UsbRedirectionProxy_SendResponse session %d not exist.\n",
         sessionId);
  return FALSE;
}

}  // extern "C"
