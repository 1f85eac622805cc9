// Base of the USB commands: one object wraps one channel-service message carrying USB
// traffic, made per message and destroyed after use. It adds the hooks every USB command
// answers (request and response, both directions) and the reading of parameters into
// variants that are cleared on every path.
// Not thread safe: a command is used by one thread for the length of one call.
#ifndef USB_USBKAPSERVICECOMMAND_H
#define USB_USBKAPSERVICECOMMAND_H

#include <cstdint>

#include "channel/KAPServiceCommand.h"
#include "usbRedirectionPlugin.h"

class UsbOutboundMsgInfoQueue;

// The command id of a USB message.
enum UsbRedirectionCommandType {
  USBREDIRECTION_POSTMSG = 0,       // property-bag post, one-way
  USBREDIRECTION_POSTMSGFAST = 1,   // URB fast-queue post, one-way
  USBREDIRECTION_SENDASYNCMSG = 2,  // property-bag request answered with a reply
};

class UsbKAPServiceCommand : public KAPServiceCommand {
 public:
  UsbKAPServiceCommand(const KAPRPC_ChannelContextInterface* ctxtIface,
                       const KAPRPC_VariantInterface* varIface, void* messageCtxt);
  ~UsbKAPServiceCommand() override;

  bool ParseMessageContext() override;
  // Each answers "not implemented" (logged at info) unless a command overrides it.
  // CreateRequest yields the message context ready to invoke, or null.
  virtual void* CreateRequest();
  virtual bool ParseRequest();
  virtual bool CreateResponse();
  virtual bool ParseResponse();
  virtual USB_OperationType GetUsbOperationType(const char* msgType);

 protected:
  // Variants read from the message, initialised up front and cleared on destruction, so
  // every return path of a parser releases what the library handed out.
  class ParamVariants {
   public:
    static const int kMaxParams = 3;
    ParamVariants(const KAPRPC_VariantInterface* varIface, int count);
    ~ParamVariants();
    ParamVariants(const ParamVariants&) = delete;
    ParamVariants& operator=(const ParamVariants&) = delete;
    KAP_RPC_VARIANT& operator[](int index) { return m_values[index]; }

   private:
    const KAPRPC_VariantInterface* m_varIface;
    int m_count;
    KAP_RPC_VARIANT m_values[kMaxParams];
  };

  // Reads parameter `index` into `out` and answers whether it has type `vt`. A missing
  // parameter leaves the variant empty and so fails the check.
  bool ReadParam(int index, KAP_RPC_VARIANT* out, uint16_t vt);
  // True when the message carries `expected`; logs "Unexpected command received" if not.
  bool CheckCommand(uint32_t expected);

  UsbOutboundMsgInfoQueue* mUsbOutboundMsgInfoQueue;  // not used by the server commands
};

#endif  // USB_USBKAPSERVICECOMMAND_H
