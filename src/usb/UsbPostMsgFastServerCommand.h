// Command 1: a one-way URB fast-queue message. Received from the client its blob goes to
// the host; built towards the client it carries the fast queue id, the header and trailer
// lengths and the payload. Not thread safe: one command per message, used by one thread.
#ifndef USB_USBPOSTMSGFASTSERVERCOMMAND_H
#define USB_USBPOSTMSGFASTSERVERCOMMAND_H

#include "usb/UsbKAPServiceServerCommand.h"

class UsbPostMsgFastServerCommand : public UsbKAPServiceServerCommand {
 public:
  // Stamps the command id on the message context.
  UsbPostMsgFastServerCommand(const KAPRPC_ChannelContextInterface* ctxtIface,
                              const KAPRPC_VariantInterface* varIface, void* messageCtxt);
  ~UsbPostMsgFastServerCommand() override;

  bool InitializeMessageContext() override;
  // Appends the four parameters and yields the context; null (after logging) when an
  // argument is missing or an append fails. A length of 0 is accepted.
  void* CreateRequest() override;
  bool ParseRequest() override;

  // Set by the sender before CreateRequest; all stay the caller's.
  const USBRedir_SendResponseExt* mExtMsgData;
  const char* const* mMsgContent;
  uint32_t mMsgLength;
};

#endif  // USB_USBPOSTMSGFASTSERVERCOMMAND_H
