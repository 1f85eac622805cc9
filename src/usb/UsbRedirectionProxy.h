// The single-server proxy behind the exported UsbRedirectionProxy_* functions: the table of
// registered sessions, each with its server and plug-in instance, created at registration
// and destroyed at unregistration.
// Thread safety: gUsbRedirSessionMutex guards the table only and is never held while the
// proxy calls into a server, a plug-in instance, the logger or the host. The host must not
// let Unregister of a session overlap its Poll or a SendResponse to it.
#ifndef USB_USBREDIRECTIONPROXY_H
#define USB_USBREDIRECTIONPROXY_H

#include <map>
#include <utility>

#include "runtime/QrMutex.h"
#include "runtime/RCPtr.h"
#include "usb/UsbRedirectionServer.h"
#include "usb/UsbRedirectionServerPlugin.h"
#include "usbRedirectionPlugin.h"

// The table's entries own both objects.
typedef std::pair<RCPtr<UsbRedirectionServer>, RCPtr<UsbRedirectionServerPlugin>> UsbRedirPair;
typedef std::map<DWORD, UsbRedirPair> UsbRedirSessions;

extern UsbRedirSessions gSessions;      // guarded by gUsbRedirSessionMutex
extern QrMutex gUsbRedirSessionMutex;

bool UsbRedirectionProxy_SessionAlreadyExists(DWORD sessionId);
BOOL UsbRedirectionProxy_Initialize(DWORD sessionId);

#endif  // USB_USBREDIRECTIONPROXY_H
