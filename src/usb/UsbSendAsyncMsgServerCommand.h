// Command 2: a property-bag request from the client that is answered. The host's reply
// buffer is copied into the return values of the same message (the message id, then the
// payload) and handed back to the host. Only ever made over a received message.
// Not thread safe: one command per message, used by one thread.
#ifndef USB_USBSENDASYNCMSGSERVERCOMMAND_H
#define USB_USBSENDASYNCMSGSERVERCOMMAND_H

#include <string>

#include "usb/UsbKAPServiceServerCommand.h"

class UsbSendAsyncMsgServerCommand : public UsbKAPServiceServerCommand {
 public:
  UsbSendAsyncMsgServerCommand(const KAPRPC_ChannelContextInterface* ctxtIface,
                               const KAPRPC_VariantInterface* varIface, void* messageCtxt);
  ~UsbSendAsyncMsgServerCommand() override;

  bool InitializeMessageContext() override;
  bool ParseRequest() override;
  // Appends the reply and gives the host's buffer back; false when there is no buffer or
  // an append failed.
  bool CreateResponse() override;

  std::string mMsgId;
  char* mRespMsgContent;  // the host's buffer until handed back
  uint32_t mRespMsgLength;
};

#endif  // USB_USBSENDASYNCMSGSERVERCOMMAND_H
