#include "usb/UsbSendAsyncMsgServerCommand.h"

#include "logging/Log.h"
#include "usb/HostCallbacks.h"

UsbSendAsyncMsgServerCommand::UsbSendAsyncMsgServerCommand(
    const KAPRPC_ChannelContextInterface* ctxtIface, const KAPRPC_VariantInterface* varIface,
    void* messageCtxt)
    : UsbKAPServiceServerCommand(ctxtIface, varIface, messageCtxt),
      mRespMsgContent(nullptr),
      mRespMsgLength(0) {}

UsbSendAsyncMsgServerCommand::~UsbSendAsyncMsgServerCommand() = default;

bool UsbSendAsyncMsgServerCommand::InitializeMessageContext() {
  return SetCommand(USBREDIRECTION_SENDASYNCMSG);
}

bool UsbSendAsyncMsgServerCommand::ParseRequest() {
  if (!CheckCommand(USBREDIRECTION_SENDASYNCMSG)) {
    return false;
  }
  ParamVariants params(mPVarIface, 3);
  if (!ReadParam(0, &params[0], KAP_RPC_VT_LPSTR)) {
    QR_LOG(LOGGER_LOG_ERROR, "Failed to get message type at index 0.\n");
    return false;
  }
  const char* msgType = params[0].strVal;
  QR_LOG(LOGGER_LOG_INFO, "Message type is %s.\n", msgType);
  if (!ReadParam(1, &params[1], KAP_RPC_VT_LPSTR)) {
    QR_LOG(LOGGER_LOG_ERROR, "Failed to get message Id at index 1.\n");
    return false;
  }
  QR_LOG(LOGGER_LOG_INFO, "Message Id is %s.\n", params[1].strVal);
  mMsgId = params[1].strVal;
  if (!ReadParam(2, &params[2], KAP_RPC_VT_BLOB)) {
    QR_LOG(LOGGER_LOG_ERROR, "Failed to get message blob at index 2.\n");
    return false;
  }
  QR_LOG(LOGGER_LOG_VERBOSE, "Blob size is [%d].\n", static_cast<int>(params[2].blobVal.size));
  TransferRequestToServerConsumer(&gCallbackInterface, USB_REDIR_PACKAGE_TYPE_PROPBAG,
                                  GetUsbOperationType(msgType), params[2], &mRespMsgContent,
                                  &mRespMsgLength);
  QR_LOG(LOGGER_LOG_VERBOSE, "Response message length is [%d].\n",
         static_cast<int>(mRespMsgLength));
  CreateResponse();
  return true;
}

bool UsbSendAsyncMsgServerCommand::CreateResponse() {
  if (mRespMsgContent == nullptr) {
    QR_LOG(LOGGER_LOG_ERROR, "Current response message is invalid.\n");
    return false;
  }
  QR_LOG(LOGGER_LOG_VERBOSE, "Response message id is %s, blob size is [%d].\n", mMsgId.c_str(),
         static_cast<int>(mRespMsgLength));
  bool result = AppendReturnVal(mMsgId.c_str());
  if (!result) {
    QR_LOG(LOGGER_LOG_ERROR, "Failed to send response message Id [%s].\n", mMsgId.c_str());
  } else {
    KAP_RPC_VARIANT response = BlobVariant(mRespMsgContent, mRespMsgLength);
    result = AppendReturnVal(&response);
    if (!result) {
      QR_LOG(LOGGER_LOG_ERROR, "Failed to send response [%p / %d].\n",
             static_cast<void*>(mRespMsgContent), static_cast<int>(mRespMsgLength));
    }
  }
  // The buffer is the host's: hand it back whatever happened to the reply.
  if (gCallbackInterface.v3.kapvhubFree != nullptr) {
    gCallbackInterface.v3.kapvhubFree(mRespMsgContent, mRespMsgLength);
  } else {
    QR_LOG(LOGGER_LOG_ERROR, "Memory is not freed by kapvhub, memory leak!");
  }
  mRespMsgContent = nullptr;
  mRespMsgLength = 0;
  return result;
}
