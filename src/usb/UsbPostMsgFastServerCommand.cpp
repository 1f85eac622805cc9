#include "usb/UsbPostMsgFastServerCommand.h"

#include "logging/Log.h"
#include "usb/HostCallbacks.h"

UsbPostMsgFastServerCommand::UsbPostMsgFastServerCommand(
    const KAPRPC_ChannelContextInterface* ctxtIface, const KAPRPC_VariantInterface* varIface,
    void* messageCtxt)
    : UsbKAPServiceServerCommand(ctxtIface, varIface, messageCtxt),
      mExtMsgData(nullptr),
      mMsgContent(nullptr),
      mMsgLength(0) {
  InitializeMessageContext();
}

UsbPostMsgFastServerCommand::~UsbPostMsgFastServerCommand() = default;

bool UsbPostMsgFastServerCommand::InitializeMessageContext() {
  return SetCommand(USBREDIRECTION_POSTMSGFAST);
}

void* UsbPostMsgFastServerCommand::CreateRequest() {
  if (mExtMsgData == nullptr || mMsgContent == nullptr || *mMsgContent == nullptr) {
    QR_LOG(LOGGER_LOG_ERROR, "Bad arguments when create request.\n");
    return nullptr;
  }
  if (!AddParam(static_cast<unsigned int>(mExtMsgData->fastQueueId))) {
    QR_LOG(LOGGER_LOG_ERROR, "Failed to add fast queue Id.\n");
    return nullptr;
  }
  if (!AddParam(static_cast<unsigned long>(mExtMsgData->headerLength))) {
    QR_LOG(LOGGER_LOG_ERROR, "Failed to add header length.\n");
    return nullptr;
  }
  if (!AddParam(static_cast<unsigned long>(mExtMsgData->trailerLength))) {
    QR_LOG(LOGGER_LOG_ERROR, "Failed to add tailer length.\n");
    return nullptr;
  }
  KAP_RPC_VARIANT content = BlobVariant(*mMsgContent, mMsgLength);
  if (!AddParam(&content)) {
    QR_LOG(LOGGER_LOG_ERROR, "Failed to add message content.\n");
    return nullptr;
  }
  return GetContext();
}

bool UsbPostMsgFastServerCommand::ParseRequest() {
  if (!CheckCommand(USBREDIRECTION_POSTMSGFAST)) {
    return false;
  }
  ParamVariants params(mPVarIface, 1);
  if (!ReadParam(0, &params[0], KAP_RPC_VT_BLOB)) {
    QR_LOG(LOGGER_LOG_ERROR, "Failed to get message blob at index 0.\n");
    return false;
  }
  QR_LOG(LOGGER_LOG_VERBOSE, "Blob size is [%d].\n", static_cast<int>(params[0].blobVal.size));
  TransferRequestToServerConsumer(&gCallbackInterface, USB_REDIR_PACKAGE_TYPE_URB,
                                  USB_OPERATION_TYPE_UNKNOWN, params[0], nullptr, nullptr);
  return true;
}
