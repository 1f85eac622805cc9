// The USB channel of one server of a multi-server session: hands each client request to the
// host with the server's mapped id, and sends host messages (property-bag ones too) to the
// server's client. It also carries the control path from the agent's session-manager (Tarn)
// process: a status read from a message channel becomes a "Filter" or "UnFilter" operation
// for the client. With USB collaboration disabled that channel is never opened, so the path
// is dormant.
// Thread safety: framework callbacks (OnReady, OnNotReady, OnInvoke, the message-channel
// upcalls) arrive on the session's poll thread, which alone touches the Tarn channel handle
// and peer. SendMessage may run on any host thread and shares nothing with them beyond the
// channel service's message functions, which are safe from any thread.
#ifndef MULTISERVER_USBREDIRECTIONSERVERMULTISERVERPLUGIN_H
#define MULTISERVER_USBREDIRECTIONSERVERMULTISERVERPLUGIN_H

#include <cstdint>

#include "channel/RPCPluginInstance.h"
#include "usb/UsbServerCommandFactory.h"
#include "usbRedirectionPlugin.h"

class UsbRedirectionServerMultiServer;

// The status a control message carries: its first 4 bytes, little-endian.
enum CollabControlStatus {
  COLLABORATION_SESSION_CONTROL_STATUS_LOST = 0,    // the client sends "Filter"
  COLLABORATION_SESSION_CONTROL_STATUS_GRANTED = 1  // the client sends "UnFilter"
};

class UsbRedirectionServerMultiServerPlugin : public RPCPluginInstance {
 public:
  UsbRedirectionServerMultiServerPlugin(UsbRedirectionServerMultiServer* rpcManagerPtr,
                                        DWORD sessionId);

  void OnMsgChannelReady(MsgChannelHandle h, const char* channelName) override;
  // A control message on the Tarn channel; anything else is ignored.
  void OnMsgChannelReceived(MsgChannelHandle h, KapMsgGroupID hGroupId,
                            KapMsgChannelID hSrcChannelId, void* msg, int msgLen) override;
  // The host is not told here: the session-level notices come from the manager.
  void OnReady() override;
  void OnNotReady() override;
  void OnInvoke(void* messageCtx) override;

  // Property-bag messages go out as posts with their own text as message type, anything
  // else as fast-queue posts. True when the message was handed to the channel service; the
  // content is copied before the call returns.
  bool SendMessage(const char* msgContent, uint32_t msgLength, USB_RedirPackageType type,
                   const USBRedir_SendResponseExt* extData);
  bool SendPostMsg(const char* msgContent, uint32_t msgLength);
  bool SendPostMsgFast(const char* msgContent, uint32_t msgLength,
                       const USBRedir_SendResponseExt* extData);

  // Opening the Tarn channel is not part of this design: it only logs and answers the
  // handle held (none).
  MsgChannelHandle OpenTarnUsbMsgChannel();
  // True when no channel was held or closing it worked.
  bool CloseTarnUsbMsgChannel();
  void HandleControlMessage(uint32_t status);
  // Whether a process may act as the Tarn process: every process may, so the first sender
  // on the channel becomes its accepted peer.
  bool IsTarnProcess(int32_t processId);

 protected:
  ~UsbRedirectionServerMultiServerPlugin() override;

 private:
  friend class UsbRedirectionServerMultiServerPluginTestPeer;

  UsbServerCommandFactory mUsbCommandFactory;
  DWORD mSessionId;
  MsgChannelHandle mTarnUsbChannelHandle;  // poll thread only
  int32_t mTarnPid;                        // poll thread only; -1 while no peer is accepted
};

#endif  // MULTISERVER_USBREDIRECTIONSERVERMULTISERVERPLUGIN_H
