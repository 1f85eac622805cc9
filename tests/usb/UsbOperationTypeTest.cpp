#include <string>

#include <gtest/gtest.h>

#include "usb/UsbOperationType.h"

// Whole names, ignoring ASCII case only; the length form stops at the given length. (The
// replayed fuzz corpus checks more names and near misses against a table of its own.)
TEST(GetUsbOperationType, MatchesWholeNamesIgnoringAsciiCase) {
  const struct {
    const char* name;
    USB_OperationType expected;
  } rows[] = {{"UnplugDevice", USB_OPERATION_TYPE_USB_DEVICE_UNPLUGGED},
              {"ClientStartup", USB_OPERATION_TYPE_RUSB_CLIENTSTARTUP},
              {"oxbisready", USB_OPERATION_TYPE_RUSB_OXBISREADY},
              {"UNFILTER", USB_OPERATION_TYPE_RUSB_UNFILTERDEVICE},
              {"PlugInDevice ", USB_OPERATION_TYPE_UNKNOWN},
              {"Unfilter\xC3\xA9", USB_OPERATION_TYPE_UNKNOWN}};
  for (const auto& row : rows) {
    EXPECT_EQ(GetUsbOperationType(row.name), row.expected) << '"' << row.name << '"';
  }
  EXPECT_EQ(GetUsbOperationType(nullptr), USB_OPERATION_TYPE_UNKNOWN);
  const std::string withNul("Filter\0junk", 11);
  EXPECT_EQ(GetUsbOperationType(withNul.data(), 6), USB_OPERATION_TYPE_RUSB_FILTERDEVICE);
  EXPECT_EQ(GetUsbOperationType(withNul.data(), withNul.size()), USB_OPERATION_TYPE_UNKNOWN);
  EXPECT_EQ(GetUsbOperationType("UnFilter", 2), USB_OPERATION_TYPE_UNKNOWN);
}
