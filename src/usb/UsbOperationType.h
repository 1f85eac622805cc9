// Maps the message-type string of a client request to the host's USB_OperationType.
#ifndef USB_USBOPERATIONTYPE_H
#define USB_USBOPERATIONTYPE_H

#include <cstddef>

#include "usbRedirectionPlugin.h"

// Whole-string match ignoring ASCII case against "UnplugDevice", "PlugInDevice",
// "IsUsbAvailable", "ClientStartup", "OxbIsReady", "Filter", "UnFilter" (values 1 to 7);
// anything else, a null name included, is USB_OPERATION_TYPE_UNKNOWN.
USB_OperationType GetUsbOperationType(const char* name);
// The same for a name of known length that need not be NUL-terminated.
USB_OperationType GetUsbOperationType(const char* name, size_t length);

#endif  // USB_USBOPERATIONTYPE_H
