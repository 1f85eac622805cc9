// The channel-service server of one desktop session in single-server mode: an RPCManager
// with the USB channel's token and object names. Created and destroyed by the proxy.
// Thread safety is the manager's: life-cycle calls on the session's own thread.
#ifndef USB_USBREDIRECTIONSERVER_H
#define USB_USBREDIRECTIONSERVER_H

#include "channel/RPCManager.h"

class UsbRedirectionServer : public RPCManager {
 public:
  UsbRedirectionServer();

  void OnServerInit() override;
  void OnServerExit() override;

 protected:
  ~UsbRedirectionServer() override;
};

#endif  // USB_USBREDIRECTIONSERVER_H
