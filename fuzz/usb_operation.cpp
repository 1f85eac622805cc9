// Fuzzes the operation-name mapping of client requests: any bytes map without fault, the
// NUL-terminated and the counted form agree, and the result is the whole-string, ASCII
// case-blind match against the seven operation names (checked against a table walk of
// its own here, not the mapping's).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "usb/UsbOperationType.h"

namespace {

const char* const kNames[] = {"UnplugDevice", "PlugInDevice", "IsUsbAvailable", "ClientStartup",
                              "OxbIsReady",   "Filter",       "UnFilter"};

char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

int Expected(const std::string& text) {
  for (int i = 0; i < 7; ++i) {
    std::string name = kNames[i];
    if (name.size() != text.size()) {
      continue;
    }
    bool same = true;
    for (size_t k = 0; k < name.size() && same; ++k) {
      same = AsciiLower(name[k]) == AsciiLower(text[k]);
    }
    if (same) {
      return i + 1;
    }
  }
  return USB_OPERATION_TYPE_UNKNOWN;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  if (GetUsbOperationType(text.data(), text.size()) != Expected(text)) {
    abort();
  }
  // The NUL-terminated form reads up to the first NUL, as a string parameter arrives.
  std::string cText = text.c_str();
  if (GetUsbOperationType(text.c_str()) != Expected(cText)) {
    abort();
  }
  if (GetUsbOperationType(nullptr) != USB_OPERATION_TYPE_UNKNOWN ||
      GetUsbOperationType(nullptr, size) != USB_OPERATION_TYPE_UNKNOWN) {
    abort();
  }
  return 0;
}
