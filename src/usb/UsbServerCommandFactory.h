// Makes the USB command that reads a received message, by command id. Stateless, so
// safe from any thread; the caller owns and destroys the command.
#ifndef USB_USBSERVERCOMMANDFACTORY_H
#define USB_USBSERVERCOMMANDFACTORY_H

#include <cstdint>

#include "usb/UsbKAPServiceServerCommand.h"

class UsbServerCommandFactory {
 public:
  // Null (after logging "Unknown command") for an id outside the USB commands.
  UsbKAPServiceServerCommand* GetUsbCommand(uint32_t cmdType,
                                            const KAPRPC_ChannelContextInterface* iChannelCtx,
                                            const KAPRPC_VariantInterface* iVariant,
                                            void* messageCtx) const;
};

#endif  // USB_USBSERVERCOMMANDFACTORY_H
