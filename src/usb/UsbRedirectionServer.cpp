#include "usb/UsbRedirectionServer.h"

UsbRedirectionServer::UsbRedirectionServer()
    : RPCManager("UsbRedirection", "UsbRedirControlObj", "UsbRedirDataObj",
                 "UsbRedirDataObjTcp") {}

UsbRedirectionServer::~UsbRedirectionServer() = default;

// The plug-in instance is handed to the server directly, so there is nothing to set up or
// tear down when the server starts or ends.
void UsbRedirectionServer::OnServerInit() {}

void UsbRedirectionServer::OnServerExit() {}
