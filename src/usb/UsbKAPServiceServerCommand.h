// The agent side of a USB command: hands a received payload to the host through its
// callback table. Not thread safe: one command per message, used by one thread.
#ifndef USB_USBKAPSERVICESERVERCOMMAND_H
#define USB_USBKAPSERVICESERVERCOMMAND_H

#include <cstdint>

#include "usb/UsbKAPServiceCommand.h"

class UsbKAPServiceServerCommand : public UsbKAPServiceCommand {
 public:
  UsbKAPServiceServerCommand(const KAPRPC_ChannelContextInterface* ctxtIface,
                             const KAPRPC_VariantInterface* varIface, void* messageCtxt);
  ~UsbKAPServiceServerCommand() override;

  // Calls the host's v2.OnMessageArrive when present, else v1.OnMessageArrive, with the
  // blob's bytes (valid only during the call). respMsgContent/respMsgLength are null for a
  // message that takes no response. False only without a callback table.
  virtual bool TransferRequestToServerConsumer(const USBRedir_CallbackInterface* callbackInterface,
                                               USB_RedirPackageType redirPackageType,
                                               USB_OperationType operationType,
                                               const KAP_RPC_VARIANT& varMsgBlob,
                                               char** respMsgContent, uint32_t* respMsgLength);

  uint64_t mSessionId;
  DWORD mMappedServerId;  // read only when the host registered v2.OnMessageArrive
};

#endif  // USB_USBKAPSERVICESERVERCOMMAND_H
