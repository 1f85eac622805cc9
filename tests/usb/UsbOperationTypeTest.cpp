#include <gtest/gtest.h>

#include <string>

#include "usb/UsbOperationType.h"

namespace {

struct Row {
  const char* name;
  USB_OperationType expected;
};

TEST(GetUsbOperationType, MatchesWholeNamesIgnoringAsciiCase) {
  const Row rows[] = {
      {"UnplugDevice", USB_OPERATION_TYPE_USB_DEVICE_UNPLUGGED},
      {"plugindevice", USB_OPERATION_TYPE_USB_DEVICE_PLUGIN},
      {"ISUSBAVAILABLE", USB_OPERATION_TYPE_RUSB_ISUSBAVAILABLE},
      {"ClientStartup", USB_OPERATION_TYPE_RUSB_CLIENTSTARTUP},
      {"oxbisready", USB_OPERATION_TYPE_RUSB_OXBISREADY},
      {"Filter", USB_OPERATION_TYPE_RUSB_FILTERDEVICE},
      {"UNFILTER", USB_OPERATION_TYPE_RUSB_UNFILTERDEVICE},
      {"", USB_OPERATION_TYPE_UNKNOWN},
      {"Plug", USB_OPERATION_TYPE_UNKNOWN},           // a prefix of a name
      {"FilterX", USB_OPERATION_TYPE_UNKNOWN},        // a name followed by more text
      {"PlugInDevice ", USB_OPERATION_TYPE_UNKNOWN},  // trailing blank
      {"Unfilter\xC3\xA9", USB_OPERATION_TYPE_UNKNOWN},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(GetUsbOperationType(row.name), row.expected) << '"' << row.name << '"';
  }
  EXPECT_EQ(GetUsbOperationType(nullptr), USB_OPERATION_TYPE_UNKNOWN);
}

TEST(GetUsbOperationType, LengthFormStopsAtTheGivenLength) {
  const std::string withNul("Filter\0junk", 11);
  EXPECT_EQ(GetUsbOperationType(withNul.data(), 6), USB_OPERATION_TYPE_RUSB_FILTERDEVICE);
  EXPECT_EQ(GetUsbOperationType(withNul.data(), withNul.size()), USB_OPERATION_TYPE_UNKNOWN);
  EXPECT_EQ(GetUsbOperationType("UnFilter", 2), USB_OPERATION_TYPE_UNKNOWN);
}

}  // namespace
