// Command 0: a one-way property-bag message. Received from the client it is handed to the
// host; built towards the client it carries a message type and a payload.
// Not thread safe: one command per message, used by one thread.
#ifndef USB_USBPOSTMSGSERVERCOMMAND_H
#define USB_USBPOSTMSGSERVERCOMMAND_H

#include <string>

#include "usb/UsbKAPServiceServerCommand.h"

class UsbPostMsgServerCommand : public UsbKAPServiceServerCommand {
 public:
  // Stamps the command id on the message context.
  UsbPostMsgServerCommand(const KAPRPC_ChannelContextInterface* ctxtIface,
                          const KAPRPC_VariantInterface* varIface, void* messageCtxt);
  ~UsbPostMsgServerCommand() override;

  bool InitializeMessageContext() override;
  void* CreateRequest() override;
  bool ParseRequest() override;

  // Set by the sender before CreateRequest; the content stays the caller's.
  std::string mMsgType;
  const char* const* mMsgContent;
  uint32_t mMsgLength;
};

#endif  // USB_USBPOSTMSGSERVERCOMMAND_H
