#include "usb/UsbRedirectionServerPlugin.h"

#include <cstdio>
#include <new>

#include "logging/Log.h"
#include "usb/HostCallbacks.h"
#include "usb/UsbRedirectionServer.h"
#include "usb/UsbServerRequests.h"

UsbRedirectionServerPlugin::UsbRedirectionServerPlugin(UsbRedirectionServer* rpcManagerPtr,
                                                       DWORD sessionId)
    : RPCPluginInstance(rpcManagerPtr), mSessionId(sessionId) {
  char name[512];
  snprintf(name, sizeof(name), "UsbRedir_Exit_Session_%d", static_cast<int>(sessionId));
  mExitEvent = new (std::nothrow) QrEvent(true, false, name);
}

UsbRedirectionServerPlugin::~UsbRedirectionServerPlugin() { mExitEvent = nullptr; }

void UsbRedirectionServerPlugin::OnReady() {
  QR_LOG(LOGGER_LOG_INFO, "UsbRedirectionServerPlugin READY.\n");
  if (gCallbackInterface.v1.OnChannelStateChange != nullptr) {
    gCallbackInterface.v1.OnChannelStateChange(mSessionId, USB_REDIR_CHANNEL_CONNECTED);
  }
}

void UsbRedirectionServerPlugin::OnNotReady() {
  QR_LOG(LOGGER_LOG_INFO, "UsbRedirectionServerPlugin NOT READY.\n");
  if (gCallbackInterface.v1.OnChannelStateChange != nullptr) {
    gCallbackInterface.v1.OnChannelStateChange(mSessionId, USB_REDIR_CHANNEL_DISCONNECTED);
  }
}

// Messages are sent without completion, so there is never anything to complete.
void UsbRedirectionServerPlugin::OnDone(uint32_t /*requestCtxId*/, void* /*returnCtx*/) {}

void UsbRedirectionServerPlugin::OnInvoke(void* messageCtx) {
  QR_LOG(LOGGER_LOG_TRACE, "Received request message from peer.\n");
  // The mapped server id is not set in this mode: 0, as the command starts.
  UsbServerRequests::Dispatch(__PRETTY_FUNCTION__, this, mUsbCommandFactory, messageCtx, mSessionId,
                              0);
}

bool UsbRedirectionServerPlugin::SendMessage(const char* msgContent, uint32_t msgLength,
                                             USB_RedirPackageType type,
                                             const USBRedir_SendResponseExt* extData) {
  QR_LOG(LOGGER_LOG_TRACE, "Begin to send a message.\n");
  if (type == USB_REDIR_PACKAGE_TYPE_PROPBAG) {
    // Property-bag traffic reaches the client only as replies to its requests.
    return false;
  }
  return SendPostMsgFast(msgContent, msgLength, extData);
}

bool UsbRedirectionServerPlugin::SendPostMsgFast(const char* msgContent, uint32_t msgLength,
                                                 const USBRedir_SendResponseExt* extData) {
  return UsbServerRequests::PostFast(__PRETTY_FUNCTION__, this, msgContent, msgLength, extData);
}
