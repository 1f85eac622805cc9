#include "usb/UsbServerCommandFactory.h"

#include <new>

#include "logging/Log.h"
#include "usb/UsbPostMsgFastServerCommand.h"
#include "usb/UsbPostMsgServerCommand.h"
#include "usb/UsbSendAsyncMsgServerCommand.h"

UsbKAPServiceServerCommand* UsbServerCommandFactory::GetUsbCommand(
    uint32_t cmdType, const KAPRPC_ChannelContextInterface* iChannelCtx,
    const KAPRPC_VariantInterface* iVariant, void* messageCtx) const {
  switch (cmdType) {
    case USBREDIRECTION_POSTMSG:
      return new (std::nothrow) UsbPostMsgServerCommand(iChannelCtx, iVariant, messageCtx);
    case USBREDIRECTION_POSTMSGFAST:
      return new (std::nothrow) UsbPostMsgFastServerCommand(iChannelCtx, iVariant, messageCtx);
    case USBREDIRECTION_SENDASYNCMSG:
      return new (std::nothrow) UsbSendAsyncMsgServerCommand(iChannelCtx, iVariant, messageCtx);
    default:
      QR_LOG(LOGGER_LOG_ERROR, "Unknown command [%u].\n", cmdType);
      return nullptr;
  }
}
