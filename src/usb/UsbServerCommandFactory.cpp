#include "usb/UsbServerCommandFactory.h"

#include <new>

#include "logging/Log.h"
#include "usb/UsbPostMsgFastServerCommand.h"
#include "usb/UsbPostMsgServerCommand.h"
#include "usb/UsbSendAsyncMsgServerCommand.h"

namespace {

static_assert(sizeof(UsbPostMsgServerCommand) <= 128 &&
                  sizeof(UsbPostMsgFastServerCommand) <= 128 &&
                  sizeof(UsbSendAsyncMsgServerCommand) <= 128,
              "a command does not fit UsbServerCommandFactory::Slot");

// In `storage` when given, else on the heap (null when that fails).
template <class Command>
UsbKAPServiceServerCommand* Make(void* storage, const KAPRPC_ChannelContextInterface* iChannelCtx,
                                 const KAPRPC_VariantInterface* iVariant, void* messageCtx) {
  if (storage != nullptr) {
    return new (storage) Command(iChannelCtx, iVariant, messageCtx);
  }
  return new (std::nothrow) Command(iChannelCtx, iVariant, messageCtx);
}

UsbKAPServiceServerCommand* MakeCommand(uint32_t cmdType,
                                        const KAPRPC_ChannelContextInterface* iChannelCtx,
                                        const KAPRPC_VariantInterface* iVariant, void* messageCtx,
                                        void* storage) {
  switch (cmdType) {
    case USBREDIRECTION_POSTMSG:
      return Make<UsbPostMsgServerCommand>(storage, iChannelCtx, iVariant, messageCtx);
    case USBREDIRECTION_POSTMSGFAST:
      return Make<UsbPostMsgFastServerCommand>(storage, iChannelCtx, iVariant, messageCtx);
    case USBREDIRECTION_SENDASYNCMSG:
      return Make<UsbSendAsyncMsgServerCommand>(storage, iChannelCtx, iVariant, messageCtx);
    default:
      QR_LOG(LOGGER_LOG_ERROR, "Unknown command [%u].\n", cmdType);
      return nullptr;
  }
}

}  // namespace

UsbServerCommandFactory::Slot::~Slot() {
  if (m_command != nullptr) {
    m_command->~UsbKAPServiceServerCommand();
  }
}

UsbKAPServiceServerCommand* UsbServerCommandFactory::GetUsbCommand(
    uint32_t cmdType, const KAPRPC_ChannelContextInterface* iChannelCtx,
    const KAPRPC_VariantInterface* iVariant, void* messageCtx) const {
  return MakeCommand(cmdType, iChannelCtx, iVariant, messageCtx, nullptr);
}

UsbKAPServiceServerCommand* UsbServerCommandFactory::GetUsbCommand(
    uint32_t cmdType, const KAPRPC_ChannelContextInterface* iChannelCtx,
    const KAPRPC_VariantInterface* iVariant, void* messageCtx, Slot* slot) const {
  if (slot->m_command != nullptr) {
    slot->m_command->~UsbKAPServiceServerCommand();
    slot->m_command = nullptr;
  }
  slot->m_command = MakeCommand(cmdType, iChannelCtx, iVariant, messageCtx, slot->m_storage);
  return slot->m_command;
}
