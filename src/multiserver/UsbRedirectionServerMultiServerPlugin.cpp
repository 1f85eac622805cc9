#include "multiserver/UsbRedirectionServerMultiServerPlugin.h"

#include <cstring>

#include "logging/Log.h"
#include "multiserver/UsbRedirectionServerMultiServer.h"
#include "usb/UsbPostMsgServerCommand.h"
#include "usb/UsbServerRequests.h"

UsbRedirectionServerMultiServerPlugin::UsbRedirectionServerMultiServerPlugin(
    UsbRedirectionServerMultiServer* rpcManagerPtr, DWORD sessionId)
    : RPCPluginInstance(rpcManagerPtr),
      mSessionId(sessionId),
      mTarnUsbChannelHandle(nullptr),
      mTarnPid(-1) {}

// The Tarn channel is closed by OnNotReady, not here.
UsbRedirectionServerMultiServerPlugin::~UsbRedirectionServerMultiServerPlugin() = default;

void UsbRedirectionServerMultiServerPlugin::OnReady() {
  QR_LOG(LOGGER_LOG_INFO, "Connection is ready.\n");
  OpenTarnUsbMsgChannel();
}

void UsbRedirectionServerMultiServerPlugin::OnNotReady() {
  QR_LOG(LOGGER_LOG_INFO, "Connection is stopped.\n");
  CloseTarnUsbMsgChannel();
}

MsgChannelHandle UsbRedirectionServerMultiServerPlugin::OpenTarnUsbMsgChannel() {
  QR_LOG(LOGGER_LOG_INFO,
         "Skip open TARN usb message channel since usb collaboration is disabled.");
  return mTarnUsbChannelHandle;
}

bool UsbRedirectionServerMultiServerPlugin::CloseTarnUsbMsgChannel() {
  if (mTarnUsbChannelHandle == nullptr) {
    return true;
  }
  MsgChannelHandle handle = mTarnUsbChannelHandle;
  mTarnUsbChannelHandle = nullptr;
  if (!CloseMsgChannel(handle)) {
    QR_LOG(LOGGER_LOG_ERROR, "Plugin [%p] CloseMsgChannel [%p] failed.", static_cast<void*>(this),
           handle);
    return false;
  }
  return true;
}

void UsbRedirectionServerMultiServerPlugin::OnMsgChannelReady(MsgChannelHandle h,
                                                              const char* channelName) {
  QR_LOG(LOGGER_LOG_INFO, "Message channel is ready: [%p]: %s.\n", h,
         channelName != nullptr ? channelName : "");
}

void UsbRedirectionServerMultiServerPlugin::OnMsgChannelReceived(MsgChannelHandle h,
                                                                 KapMsgGroupID /*hGroupId*/,
                                                                 KapMsgChannelID hSrcChannelId,
                                                                 void* msg, int msgLen) {
  if (mTarnUsbChannelHandle == nullptr || h != mTarnUsbChannelHandle) {
    return;
  }
  KAPService_MsgChannelInfo info;
  memset(&info, 0, sizeof(info));
  if (!GetMsgChannelInfo(hSrcChannelId, &info)) {
    return;
  }
  // The library fills the texts; they are printed only within their fields.
  info.serverToken[sizeof(info.serverToken) - 1] = '\0';
  info.msgChannelName[sizeof(info.msgChannelName) - 1] = '\0';
  QR_LOG(LOGGER_LOG_DEBUG,
         "Plugin [%p] message handle [%p] received data from feature:%s channel:%s (pid=%d).",
         static_cast<void*>(this), h, info.serverToken, info.msgChannelName,
         static_cast<int>(info.serverPid));
  if (msg == nullptr || msgLen < 4) {
    return;  // no status in it
  }
  QR_LOG_HEXDUMP(LOGGER_LOG_TRACE, msg, static_cast<uint32_t>(msgLen));
  if (mTarnPid == -1 && IsTarnProcess(info.serverPid)) {
    mTarnPid = info.serverPid;
  } else if (info.serverPid != mTarnPid) {
    QR_LOG(LOGGER_LOG_WARN,
           "The peer of channel [%p] can't be determined as TARN, message ignored.", h);
    return;
  }
  const unsigned char* bytes = static_cast<const unsigned char*>(msg);
  uint32_t status = static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8) |
                    (static_cast<uint32_t>(bytes[2]) << 16) |
                    (static_cast<uint32_t>(bytes[3]) << 24);
  HandleControlMessage(status);
}

bool UsbRedirectionServerMultiServerPlugin::IsTarnProcess(int32_t /*processId*/) { return true; }

void UsbRedirectionServerMultiServerPlugin::HandleControlMessage(uint32_t status) {
  switch (status) {
    case COLLABORATION_SESSION_CONTROL_STATUS_LOST:
      SendMessage("Filter", 6, USB_REDIR_PACKAGE_TYPE_PROPBAG, nullptr);
      break;
    case COLLABORATION_SESSION_CONTROL_STATUS_GRANTED:
      SendMessage("UnFilter", 8, USB_REDIR_PACKAGE_TYPE_PROPBAG, nullptr);
      break;
    default:
      QR_LOG(LOGGER_LOG_ERROR, "Unrecognized control message: %d.", static_cast<int>(status));
      break;
  }
}

void UsbRedirectionServerMultiServerPlugin::OnInvoke(void* messageCtx) {
  QR_LOG(LOGGER_LOG_VERBOSE, "Received request message from peer.\n");
  // The server's mapped id, asked of the manager while holding it.
  RCPtr<UsbRedirectionServerMultiServer> manager(
      static_cast<UsbRedirectionServerMultiServer*>(GetRPCManager()));
  UsbServerRequests::Dispatch(__PRETTY_FUNCTION__, this, mUsbCommandFactory, messageCtx, mSessionId,
                              manager->GetMappedServerIdByKapServerId(GetServerId()));
}

bool UsbRedirectionServerMultiServerPlugin::SendMessage(const char* msgContent, uint32_t msgLength,
                                                        USB_RedirPackageType type,
                                                        const USBRedir_SendResponseExt* extData) {
  QR_LOG(LOGGER_LOG_VERBOSE, "Begin to send a message with type: %d.\n", static_cast<int>(type));
  if (type == USB_REDIR_PACKAGE_TYPE_PROPBAG) {
    return SendPostMsg(msgContent, msgLength);
  }
  return SendPostMsgFast(msgContent, msgLength, extData);
}

bool UsbRedirectionServerMultiServerPlugin::SendPostMsg(const char* msgContent,
                                                        uint32_t msgLength) {
  return UsbServerRequests::Post<UsbPostMsgServerCommand>(
      __PRETTY_FUNCTION__, this, "Something went wrong while calling CreateMessage for PostMsg.\n",
      [&](UsbPostMsgServerCommand& command) {
        // The message type is the content read as text: up to its first NUL byte.
        if (msgContent != nullptr) {
          command.mMsgType.assign(msgContent, strnlen(msgContent, msgLength));
        }
        command.mMsgLength = msgLength;
        command.mMsgContent = &msgContent;
      });
}

bool UsbRedirectionServerMultiServerPlugin::SendPostMsgFast(
    const char* msgContent, uint32_t msgLength, const USBRedir_SendResponseExt* extData) {
  return UsbServerRequests::PostFast(__PRETTY_FUNCTION__, this, msgContent, msgLength, extData);
}
