#include "usb/UsbPostMsgServerCommand.h"

#include "logging/Log.h"
#include "usb/HostCallbacks.h"

UsbPostMsgServerCommand::UsbPostMsgServerCommand(const KAPRPC_ChannelContextInterface* ctxtIface,
                                                 const KAPRPC_VariantInterface* varIface,
                                                 void* messageCtxt)
    : UsbKAPServiceServerCommand(ctxtIface, varIface, messageCtxt),
      mMsgContent(nullptr),
      mMsgLength(0) {
  InitializeMessageContext();
}

UsbPostMsgServerCommand::~UsbPostMsgServerCommand() = default;

bool UsbPostMsgServerCommand::InitializeMessageContext() {
  return SetCommand(USBREDIRECTION_POSTMSG);
}

void* UsbPostMsgServerCommand::CreateRequest() {
  if (!AddParam(mMsgType.c_str())) {
    QR_LOG(LOGGER_LOG_ERROR, "Failed to add message type.\n");
    return nullptr;
  }
  if (mMsgContent == nullptr || *mMsgContent == nullptr) {
    QR_LOG(LOGGER_LOG_ERROR, "Bad arguments when create request.\n");
    return nullptr;
  }
  KAP_RPC_VARIANT content = BlobVariant(*mMsgContent, mMsgLength);
  if (!AddParam(&content)) {
    QR_LOG(LOGGER_LOG_ERROR, "Failed to add message content.\n");
    return nullptr;
  }
  return GetContext();
}

bool UsbPostMsgServerCommand::ParseRequest() {
  if (!CheckCommand(USBREDIRECTION_POSTMSG)) {
    return false;
  }
  ParamVariants params(mPVarIface, 2);
  if (!ReadParam(0, &params[0], KAP_RPC_VT_LPSTR)) {
    QR_LOG(LOGGER_LOG_ERROR, "Failed to get message type at index 0.\n");
    return false;
  }
  const char* msgType = params[0].strVal;
  QR_LOG(LOGGER_LOG_INFO, "Message type is %s.\n", msgType);
  if (!ReadParam(1, &params[1], KAP_RPC_VT_BLOB)) {
    QR_LOG(LOGGER_LOG_ERROR, "Failed to get message blob at index 1.\n");
    return false;
  }
  QR_LOG(LOGGER_LOG_VERBOSE, "Blob size is [%d].\n", static_cast<int>(params[1].blobVal.size));
  TransferRequestToServerConsumer(&gCallbackInterface, USB_REDIR_PACKAGE_TYPE_PROPBAG,
                                  GetUsbOperationType(msgType), params[1], nullptr, nullptr);
  return true;
}
