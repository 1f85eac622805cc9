// The request path that the single-server and the multi-server plug-in instances share:
// handing a received request to the command that reads it, and posting a message built by
// a command on the data object. Log lines carry the function name the caller passes (its
// __PRETTY_FUNCTION__), so each instance's lines keep its own name. Stateless; every call
// runs on the caller's thread with objects the caller owns.
#ifndef USB_USBSERVERREQUESTS_H
#define USB_USBSERVERREQUESTS_H

#include <cstdint>

#include "channel/RPCPluginInstance.h"
#include "logging/Log.h"
#include "usb/UsbServerCommandFactory.h"

class UsbServerRequests {
 public:
  // Reads the command id of a received request, makes its command (without allocating)
  // with the session and mapped server ids, and lets it parse the request and call the
  // host; failures are logged as `funcName`.
  static void Dispatch(const char* funcName, RPCPluginInstance* instance,
                       const UsbServerCommandFactory& factory, void* messageCtx, uint64_t sessionId,
                       DWORD mappedServerId);

  // Creates a message on the data object, makes a Command over it, lets `fill` set the
  // command's fields and posts its request one-way; the message is destroyed either way.
  // True when the post was handed to the channel service. A failed creation logs
  // `createFailed`, a failed request or post "Invoke message failed. Destroying the
  // message.\n", both as `funcName`.
  template <class Command, class Fill>
  static bool Post(const char* funcName, RPCPluginInstance* instance, const char* createFailed,
                   Fill fill) {
    void* messageCtx = nullptr;
    if (!instance->CreateMessage(&messageCtx, RPCPluginInstance::RPC_CHANNEL_TYPE_DATA)) {
      QR_LOG_FOR(funcName, LOGGER_LOG_ERROR, "%s", createFailed);
      return false;
    }
    bool invoked = false;
    {
      Command command(instance->ChannelContextInterface(), instance->VariantInterface(),
                      messageCtx);
      fill(command);
      void* message = command.CreateRequest();
      invoked = message != nullptr &&
                instance->InvokeMessage(message, FALSE, RPCPluginInstance::RPC_CHANNEL_TYPE_DATA);
    }
    if (!invoked) {
      QR_LOG_FOR(funcName, LOGGER_LOG_ERROR, "Invoke message failed. Destroying the message.\n");
    }
    // The context stays ours after the invoke: the library has taken its copy.
    instance->DestroyMessage(messageCtx);
    return invoked;
  }

  // A URB post: fast queue id, header and trailer lengths, payload.
  static bool PostFast(const char* funcName, RPCPluginInstance* instance, const char* msgContent,
                       uint32_t msgLength, const USBRedir_SendResponseExt* extData);
};

#endif  // USB_USBSERVERREQUESTS_H
