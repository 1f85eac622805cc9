#include "usb/UsbOperationType.h"

#include <cstring>
#include <strings.h>

namespace {

struct OperationName {
  const char* name;
  USB_OperationType type;
};

const OperationName kOperationNames[] = {
    {"UnplugDevice", USB_OPERATION_TYPE_USB_DEVICE_UNPLUGGED},
    {"PlugInDevice", USB_OPERATION_TYPE_USB_DEVICE_PLUGIN},
    {"IsUsbAvailable", USB_OPERATION_TYPE_RUSB_ISUSBAVAILABLE},
    {"ClientStartup", USB_OPERATION_TYPE_RUSB_CLIENTSTARTUP},
    {"OxbIsReady", USB_OPERATION_TYPE_RUSB_OXBISREADY},
    {"Filter", USB_OPERATION_TYPE_RUSB_FILTERDEVICE},
    {"UnFilter", USB_OPERATION_TYPE_RUSB_UNFILTERDEVICE},
};

}  // namespace

USB_OperationType GetUsbOperationType(const char* name, size_t length) {
  if (name == nullptr) {
    return USB_OPERATION_TYPE_UNKNOWN;
  }
  for (const OperationName& entry : kOperationNames) {
    if (strlen(entry.name) == length && strncasecmp(entry.name, name, length) == 0) {
      return entry.type;
    }
  }
  return USB_OPERATION_TYPE_UNKNOWN;
}

USB_OperationType GetUsbOperationType(const char* name) {
  return name == nullptr ? USB_OPERATION_TYPE_UNKNOWN : GetUsbOperationType(name, strlen(name));
}
