// What the USB commands inherit: the operations a command does not have, a command over a
// library without tables, and the hand-over to the host's v1 or v2 entry.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/ScopedTestLogger.h"
#include "usb/UsbPostMsgFastServerCommand.h"
#include "usb/UsbPostMsgServerCommand.h"
#include "usb/UsbSendAsyncMsgServerCommand.h"

namespace {

struct Arrival {
  int version;
  DWORD sessionId;
  DWORD serverId;
  std::string payload;
  USB_RedirPackageType type;
  USB_OperationType opType;
  bool canRespond;
};
std::vector<Arrival> gArrivals;

void OnMessageV1(DWORD sessionId, char* msg, uint32_t length, USB_RedirPackageType type,
                 USB_OperationType opType, char** resp, uint32_t* respLength) {
  gArrivals.push_back({1, sessionId, 0, std::string(msg, length), type, opType,
                       resp != nullptr && respLength != nullptr});
}

void OnMessageV2(DWORD sessionId, DWORD serverId, char* msg, uint32_t length,
                 USB_RedirPackageType type, USB_OperationType opType, char** resp,
                 uint32_t* respLength) {
  gArrivals.push_back({2, sessionId, serverId, std::string(msg, length), type, opType,
                       resp != nullptr && respLength != nullptr});
}

}  // namespace

TEST(UsbCommandBase, OperationsACommandLacksAnswerAsFailuresAndSaySo) {
  ScopedTestLogger log(LOGGER_LOG_INFO);
  UsbSendAsyncMsgServerCommand async(nullptr, nullptr, nullptr);
  UsbPostMsgServerCommand post(nullptr, nullptr, nullptr);
  EXPECT_EQ(nullptr, async.CreateRequest());
  EXPECT_FALSE(async.UsbKAPServiceCommand::ParseRequest());
  EXPECT_FALSE(post.CreateResponse());
  EXPECT_FALSE(async.ParseResponse());
  EXPECT_FALSE(async.ParseMessageContext());
  EXPECT_EQ(4, log.Writer()->CountContaining("is not implemented"));
  for (const char* method : {"CreateRequest", "ParseRequest", "CreateResponse", "ParseResponse"}) {
    EXPECT_TRUE(
        log.Writer()->HasMessage(std::string("The method ") + method + " is not implemented.\n"))
        << method;
  }
}

TEST(UsbCommandBase, WithoutLibraryTablesARequestIsRefusedAndNothingReachesTheHost) {
  ScopedTestLogger log(LOGGER_LOG_INFO);
  UsbPostMsgFastServerCommand fast(nullptr, nullptr, nullptr);
  UsbSendAsyncMsgServerCommand async(nullptr, nullptr, nullptr);
  EXPECT_FALSE(fast.InitializeMessageContext());
  EXPECT_FALSE(fast.ParseRequest());
  EXPECT_FALSE(async.ParseRequest());
  EXPECT_EQ(2, log.Writer()->CountContaining("Unexpected command received: 0."));
}

TEST(UsbCommandBase, TheHostsV2EntryIsPreferredAndCarriesTheMappedServerId) {
  ScopedTestLogger log(LOGGER_LOG_VERBOSE);
  gArrivals.clear();
  UsbPostMsgServerCommand command(nullptr, nullptr, nullptr);
  command.mSessionId = 12;
  command.mMappedServerId = 3;
  char bytes[] = "urb";
  KAP_RPC_VARIANT blob{};
  blob.vt = KAP_RPC_VT_BLOB;
  blob.blobVal.size = 3;
  blob.blobVal.blobData = bytes;
  char* resp = nullptr;
  uint32_t respLength = 0;

  EXPECT_FALSE(command.TransferRequestToServerConsumer(
      nullptr, USB_REDIR_PACKAGE_TYPE_URB, USB_OPERATION_TYPE_UNKNOWN, blob, nullptr, nullptr));
  EXPECT_TRUE(log.Writer()->HasMessage("Invalid pointer for server callback interface.\n"));

  USBRedir_CallbackInterface table = {};
  table.v1.OnMessageArrive = &OnMessageV1;
  EXPECT_TRUE(command.TransferRequestToServerConsumer(
      &table, USB_REDIR_PACKAGE_TYPE_URB, USB_OPERATION_TYPE_UNKNOWN, blob, nullptr, nullptr));
  table.v2.OnMessageArrive = &OnMessageV2;
  EXPECT_TRUE(command.TransferRequestToServerConsumer(&table, USB_REDIR_PACKAGE_TYPE_PROPBAG,
                                                      USB_OPERATION_TYPE_RUSB_FILTERDEVICE, blob,
                                                      &resp, &respLength));
  table = {};  // neither entry: nothing is called, and that is no failure
  EXPECT_TRUE(command.TransferRequestToServerConsumer(
      &table, USB_REDIR_PACKAGE_TYPE_URB, USB_OPERATION_TYPE_UNKNOWN, blob, nullptr, nullptr));
  ASSERT_EQ(2u, gArrivals.size());
  EXPECT_EQ(1, gArrivals[0].version);
  EXPECT_EQ(12u, gArrivals[0].sessionId);
  EXPECT_EQ("urb", gArrivals[0].payload);
  EXPECT_FALSE(gArrivals[0].canRespond);
  EXPECT_EQ(2, gArrivals[1].version);
  EXPECT_EQ(12u, gArrivals[1].sessionId);
  EXPECT_EQ(3u, gArrivals[1].serverId);
  EXPECT_EQ(USB_REDIR_PACKAGE_TYPE_PROPBAG, gArrivals[1].type);
  EXPECT_EQ(USB_OPERATION_TYPE_RUSB_FILTERDEVICE, gArrivals[1].opType);
  EXPECT_TRUE(gArrivals[1].canRespond);
}
