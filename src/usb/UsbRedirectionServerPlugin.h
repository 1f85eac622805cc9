// The USB channel of one desktop session: reports readiness to the host, turns each
// client request into a USB command that hands the payload to the host, and sends the
// host's URB messages to the client. It owns the session's exit event, which the proxy's
// Poll waits on and Stop sets.
// Thread safety: OnReady, OnNotReady and OnInvoke run on the session's poll thread;
// SendMessage may run on any host thread at the same time and shares no state with them
// beyond the channel service's message functions, which are safe from any thread.
#ifndef USB_USBREDIRECTIONSERVERPLUGIN_H
#define USB_USBREDIRECTIONSERVERPLUGIN_H

#include <cstdint>

#include "channel/RPCPluginInstance.h"
#include "runtime/QrEvent.h"
#include "runtime/RCPtr.h"
#include "usb/UsbServerCommandFactory.h"
#include "usbRedirectionPlugin.h"

class UsbRedirectionServer;

class UsbRedirectionServerPlugin : public RPCPluginInstance {
 public:
  // Creates the unsignalled manual-reset exit event "UsbRedir_Exit_Session_<id>".
  UsbRedirectionServerPlugin(UsbRedirectionServer* rpcManagerPtr, DWORD sessionId);

  void OnReady() override;
  void OnNotReady() override;
  void OnDone(uint32_t requestCtxId, void* returnCtx) override;
  void OnInvoke(void* messageCtx) override;

  // Sends a host message to the client; property-bag messages are not sent in this mode
  // (false, nothing logged). The content is copied before the call returns.
  bool SendMessage(const char* msgContent, uint32_t msgLength, USB_RedirPackageType type,
                   const USBRedir_SendResponseExt* extData);
  bool SendPostMsgFast(const char* msgContent, uint32_t msgLength,
                       const USBRedir_SendResponseExt* extData);

  RCPtr<QrEvent> GetExitEvent() const { return mExitEvent; }
  DWORD GetSessionId() const { return mSessionId; }

 protected:
  ~UsbRedirectionServerPlugin() override;

 private:
  UsbServerCommandFactory mUsbCommandFactory;
  DWORD mSessionId;
  RCPtr<QrEvent> mExitEvent;
};

#endif  // USB_USBREDIRECTIONSERVERPLUGIN_H
