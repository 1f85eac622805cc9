// Makes the USB command that reads a received message, by command id. Stateless, so
// safe from any thread; the caller owns and destroys the command.
#ifndef USB_USBSERVERCOMMANDFACTORY_H
#define USB_USBSERVERCOMMANDFACTORY_H

#include <cstddef>
#include <cstdint>

#include "usb/UsbKAPServiceServerCommand.h"

class UsbServerCommandFactory {
 public:
  // Room for any command of the family, so that a received message needs no allocation:
  // the command made in it lives until the slot is destroyed. A stack object of one
  // thread; not copyable.
  class Slot {
   public:
    Slot() = default;
    ~Slot();
    Slot(const Slot&) = delete;
    Slot& operator=(const Slot&) = delete;

   private:
    friend class UsbServerCommandFactory;
    static const size_t kSize = 128;

    alignas(alignof(std::max_align_t)) unsigned char m_storage[kSize];
    UsbKAPServiceServerCommand* m_command = nullptr;
  };

  // Null (after logging "Unknown command") for an id outside the USB commands.
  UsbKAPServiceServerCommand* GetUsbCommand(uint32_t cmdType,
                                            const KAPRPC_ChannelContextInterface* iChannelCtx,
                                            const KAPRPC_VariantInterface* iVariant,
                                            void* messageCtx) const;
  // The same, made in `slot` (which owns it) instead of on the heap.
  UsbKAPServiceServerCommand* GetUsbCommand(uint32_t cmdType,
                                            const KAPRPC_ChannelContextInterface* iChannelCtx,
                                            const KAPRPC_VariantInterface* iVariant,
                                            void* messageCtx, Slot* slot) const;
};

#endif  // USB_USBSERVERCOMMANDFACTORY_H
