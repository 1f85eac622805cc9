#include "usb/UsbServerRequests.h"

#include "usb/UsbPostMsgFastServerCommand.h"

void UsbServerRequests::Dispatch(const char* funcName, RPCPluginInstance* instance,
                                 const UsbServerCommandFactory& factory, void* messageCtx,
                                 uint64_t sessionId, DWORD mappedServerId) {
  const KAPRPC_ChannelContextInterface* ctxIface = instance->ChannelContextInterface();
  const KAPRPC_VariantInterface* varIface = instance->VariantInterface();
  if (ctxIface == nullptr || ctxIface->v1.GetCommand == nullptr) {
    QR_LOG_FOR(funcName, LOGGER_LOG_ERROR, "Failed to instantiate the KAPServiceCommand.\n");
    return;
  }
  uint32_t commandId = ctxIface->v1.GetCommand(messageCtx);
  UsbServerCommandFactory::Slot slot;
  UsbKAPServiceServerCommand* command =
      factory.GetUsbCommand(commandId, ctxIface, varIface, messageCtx, &slot);
  if (command == nullptr) {
    QR_LOG_FOR(funcName, LOGGER_LOG_ERROR, "Failed to instantiate the KAPServiceCommand.\n");
    return;
  }
  command->mSessionId = sessionId;
  command->mMappedServerId = mappedServerId;
  if (!command->ParseRequest()) {
    QR_LOG_FOR(funcName, LOGGER_LOG_ERROR, "Failed to parse message: %d.\n",
               static_cast<int>(commandId));
  }
}

bool UsbServerRequests::PostFast(const char* funcName, RPCPluginInstance* instance,
                                 const char* msgContent, uint32_t msgLength,
                                 const USBRedir_SendResponseExt* extData) {
  return Post<UsbPostMsgFastServerCommand>(funcName, instance,
                                           "Something went wrong while calling CreateMessage.\n",
                                           [&](UsbPostMsgFastServerCommand& command) {
                                             command.mMsgLength = msgLength;
                                             command.mExtMsgData = extData;
                                             command.mMsgContent = &msgContent;
                                           });
}
