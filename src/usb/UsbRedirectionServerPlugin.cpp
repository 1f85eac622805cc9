#include "usb/UsbRedirectionServerPlugin.h"

#include <cstdio>
#include <memory>
#include <new>

#include "logging/Log.h"
#include "usb/HostCallbacks.h"
#include "usb/UsbPostMsgFastServerCommand.h"
#include "usb/UsbRedirectionServer.h"

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
  const KAPRPC_ChannelContextInterface* ctxIface = ChannelContextInterface();
  const KAPRPC_VariantInterface* varIface = VariantInterface();
  if (ctxIface == nullptr || ctxIface->v1.GetCommand == nullptr) {
    QR_LOG(LOGGER_LOG_ERROR, "Failed to instantiate the KAPServiceCommand.\n");
    return;
  }
  uint32_t commandId = ctxIface->v1.GetCommand(messageCtx);
  std::unique_ptr<UsbKAPServiceServerCommand> command(
      mUsbCommandFactory.GetUsbCommand(commandId, ctxIface, varIface, messageCtx));
  if (!command) {
    QR_LOG(LOGGER_LOG_ERROR, "Failed to instantiate the KAPServiceCommand.\n");
    return;
  }
  command->mSessionId = mSessionId;
  if (!command->ParseRequest()) {
    QR_LOG(LOGGER_LOG_ERROR, "Failed to parse message: %d.\n", static_cast<int>(commandId));
  }
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
  void* messageCtx = nullptr;
  if (!CreateMessage(&messageCtx, RPC_CHANNEL_TYPE_DATA)) {
    QR_LOG(LOGGER_LOG_ERROR, "Something went wrong while calling CreateMessage.\n");
    return false;
  }
  bool invoked = false;
  {
    UsbPostMsgFastServerCommand command(ChannelContextInterface(), VariantInterface(),
                                        messageCtx);
    command.mMsgLength = msgLength;
    command.mExtMsgData = extData;
    command.mMsgContent = &msgContent;
    void* message = command.CreateRequest();
    invoked = message != nullptr && InvokeMessage(message, FALSE, RPC_CHANNEL_TYPE_DATA);
  }
  if (!invoked) {
    QR_LOG(LOGGER_LOG_ERROR, "Invoke message failed. Destroying the message.\n");
  }
  // The context stays ours after the invoke: the library has taken its copy.
  DestroyMessage(messageCtx);
  return invoked;
}
