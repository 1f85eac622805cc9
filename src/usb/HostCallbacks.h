// The one process-wide copy of the host's callback table. All plug-in code calls the host
// through this copy, never through the host's own table. Written by the callback
// registration before sessions exist and read without a lock afterwards.
#ifndef USB_HOSTCALLBACKS_H
#define USB_HOSTCALLBACKS_H

#include "usbRedirectionPlugin.h"

extern USBRedir_CallbackInterface gCallbackInterface;

#endif  // USB_HOSTCALLBACKS_H
