#include "usb/UsbKAPServiceServerCommand.h"

#include "logging/Log.h"

UsbKAPServiceServerCommand::UsbKAPServiceServerCommand(
    const KAPRPC_ChannelContextInterface* ctxtIface, const KAPRPC_VariantInterface* varIface,
    void* messageCtxt)
    : UsbKAPServiceCommand(ctxtIface, varIface, messageCtxt), mSessionId(0), mMappedServerId(0) {}

UsbKAPServiceServerCommand::~UsbKAPServiceServerCommand() = default;

bool UsbKAPServiceServerCommand::TransferRequestToServerConsumer(
    const USBRedir_CallbackInterface* callbackInterface, USB_RedirPackageType redirPackageType,
    USB_OperationType operationType, const KAP_RPC_VARIANT& varMsgBlob, char** respMsgContent,
    uint32_t* respMsgLength) {
  QR_LOG(LOGGER_LOG_VERBOSE,
         "Transfer a request message to server consumer. Current sessionid is %lu, Message "
         "package type is %d, operation type is %d.\n",
         static_cast<unsigned long>(mSessionId), redirPackageType, operationType);
  if (callbackInterface == nullptr) {
    QR_LOG(LOGGER_LOG_ERROR, "Invalid pointer for server callback interface.\n");
    return false;
  }
  char* data = varMsgBlob.blobVal.blobData;
  uint32_t size = varMsgBlob.blobVal.size;
  DWORD sessionId = static_cast<DWORD>(mSessionId);
  if (callbackInterface->v2.OnMessageArrive != nullptr) {
    callbackInterface->v2.OnMessageArrive(sessionId, mMappedServerId, data, size,
                                          redirPackageType, operationType, respMsgContent,
                                          respMsgLength);
  } else if (callbackInterface->v1.OnMessageArrive != nullptr) {
    callbackInterface->v1.OnMessageArrive(sessionId, data, size, redirPackageType, operationType,
                                          respMsgContent, respMsgLength);
  }
  return true;
}
