// Fuzzes the operation-name mapping: in both forms any bytes map to the whole-string, ASCII
// case-blind match against the seven names (a table walk of its own here, not the mapping's).
#include <strings.h>

#include "FuzzSupport.h"
#include "usb/UsbOperationType.h"

namespace {

int Expected(const std::string& text) {
  static const char* const kNames[] = {"UnplugDevice",  "PlugInDevice", "IsUsbAvailable",
                                       "ClientStartup", "OxbIsReady",   "Filter",
                                       "UnFilter"};
  for (int i = 0; i < 7; ++i) {
    // This program's C locale: strncasecmp folds ASCII letters only.
    if (text.size() == strlen(kNames[i]) && strncasecmp(kNames[i], text.data(), text.size()) == 0) {
      return i + 1;
    }
  }
  return USB_OPERATION_TYPE_UNKNOWN;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text = FuzzReader(data, size).Rest();
  Require(GetUsbOperationType(text.data(), text.size()) == Expected(text), "counted form");
  // The NUL-terminated form reads up to the first NUL, as a string parameter arrives.
  Require(GetUsbOperationType(text.c_str()) == Expected(text.c_str()), "NUL-terminated form");
  Require(GetUsbOperationType(nullptr, size) == USB_OPERATION_TYPE_UNKNOWN, "a null name");
  return 0;
}
