// The USB layer's parts: what commands inherit (missing operations, no library tables, the
// host's v1/v2 entry), operation names and the outbound message queue.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/ScopedTestLogger.h"
#include "usb/UsbOperationType.h"
#include "usb/UsbOutboundMsgInfoQueue.h"
#include "usb/UsbPostMsgFastServerCommand.h"
#include "usb/UsbPostMsgServerCommand.h"
#include "usb/UsbSendAsyncMsgServerCommand.h"

namespace {

// "version session server payload type operation whether-a-response-can-be-given"
std::vector<std::string> gArrivals;

void OnMessageV2(DWORD sessionId, DWORD serverId, char* msg, uint32_t length,
                 USB_RedirPackageType type, USB_OperationType opType, char** resp,
                 uint32_t* respLength) {
  gArrivals.push_back(std::to_string(serverId == ~0u ? 1 : 2) + ' ' + std::to_string(sessionId) +
                      ' ' + std::to_string(serverId == ~0u ? 0 : serverId) + ' ' +
                      std::string(msg, length) + ' ' + std::to_string(type) + ' ' +
                      std::to_string(opType) + ' ' +
                      std::to_string(resp != nullptr && respLength != nullptr));
}
void OnMessageV1(DWORD sessionId, char* msg, uint32_t length, USB_RedirPackageType type,
                 USB_OperationType opType, char** resp, uint32_t* respLength) {
  OnMessageV2(sessionId, ~0u, msg, length, type, opType, resp, respLength);
}

}  // namespace

TEST(UsbCommandBase, MissingOperationsAndTablesFailAndTheHostsV2EntryIsPreferred) {
  ScopedTestLogger log(LOGGER_LOG_VERBOSE);
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
  // Without library tables a request is refused and nothing reaches the host.
  UsbPostMsgFastServerCommand fast(nullptr, nullptr, nullptr);
  EXPECT_FALSE(fast.InitializeMessageContext());
  EXPECT_FALSE(fast.ParseRequest());
  EXPECT_FALSE(async.ParseRequest());
  EXPECT_EQ(2, log.Writer()->CountContaining("Unexpected command received: 0."));

  // The v2 entry carries the mapped server id; with neither entry nothing is called, and
  // that is no failure.
  post.mSessionId = 12;
  post.mMappedServerId = 3;
  char bytes[] = "urb";
  KAP_RPC_VARIANT blob{};
  blob.vt = KAP_RPC_VT_BLOB;
  blob.blobVal = {3, bytes};
  char* resp = nullptr;
  uint32_t respLength = 0;
  const auto urb = USB_REDIR_PACKAGE_TYPE_URB;
  const auto bag = USB_REDIR_PACKAGE_TYPE_PROPBAG;
  const auto unknown = USB_OPERATION_TYPE_UNKNOWN;
  const auto filter = USB_OPERATION_TYPE_RUSB_FILTERDEVICE;
  EXPECT_FALSE(post.TransferRequestToServerConsumer(nullptr, urb, unknown, blob, nullptr, nullptr));
  EXPECT_TRUE(log.Writer()->HasMessage("Invalid pointer for server callback interface.\n"));
  USBRedir_CallbackInterface table = {};
  table.v1.OnMessageArrive = &OnMessageV1;
  EXPECT_TRUE(post.TransferRequestToServerConsumer(&table, urb, unknown, blob, nullptr, nullptr));
  table.v2.OnMessageArrive = &OnMessageV2;
  EXPECT_TRUE(post.TransferRequestToServerConsumer(&table, bag, filter, blob, &resp, &respLength));
  table = {};
  EXPECT_TRUE(post.TransferRequestToServerConsumer(&table, urb, unknown, blob, nullptr, nullptr));
  EXPECT_EQ(gArrivals,
            std::vector<std::string>(
                {"1 12 0 urb " + std::to_string(urb) + " " + std::to_string(unknown) + " 0",
                 "2 12 3 urb " + std::to_string(bag) + " " + std::to_string(filter) + " 1"}));
}

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

// Ids compare exactly (null is empty); duplicates go oldest first; a cleared queue stays
// usable and the destructor frees what is left (ASan).
TEST(UsbOutboundMsgInfoQueue, DuplicateIdsAreFoundAndRemovedOldestFirst) {
  int a1, b, a2;
  UsbOutboundMsgInfoQueue queue;
  queue.EnqueueOutboundMsgInfo("A", &a1, nullptr);
  queue.EnqueueOutboundMsgInfo("B", &b, nullptr);
  queue.EnqueueOutboundMsgInfo("A", &a2, &b);
  for (const char* absent : {"a", "b", "", "AB"})
    EXPECT_EQ(queue.GetOutboundMsgInfo(absent), nullptr);
  EXPECT_EQ(queue.GetOutboundMsgInfo("A")->cb, &a1);
  EXPECT_TRUE(queue.DequeueOutboundMsgInfo("A"));
  EXPECT_EQ(queue.GetOutboundMsgInfo("A")->cb, &a2);
  EXPECT_EQ(queue.GetOutboundMsgInfo("A")->userData, &b);
  EXPECT_EQ(queue.GetOutboundMsgInfo("B")->cb, &b);
  EXPECT_TRUE(queue.DequeueOutboundMsgInfo("A"));
  EXPECT_FALSE(queue.DequeueOutboundMsgInfo("A"));
  queue.EnqueueOutboundMsgInfo("", &a1, nullptr);
  queue.EnqueueOutboundMsgInfo(nullptr, &a2, nullptr);
  EXPECT_EQ(queue.GetOutboundMsgInfo("")->cb, &a1);
  EXPECT_TRUE(queue.DequeueOutboundMsgInfo(""));
  EXPECT_EQ(queue.GetOutboundMsgInfo("")->cb, &a2);
  for (int i = 0; i < 100; ++i)
    queue.EnqueueOutboundMsgInfo(std::to_string(i).c_str(), nullptr, nullptr);
  queue.ClearOutboundMsgInfoQueue();
  EXPECT_EQ(queue.GetOutboundMsgInfo("5"), nullptr);
  EXPECT_EQ(queue.GetOutboundMsgInfo("B"), nullptr);
  queue.EnqueueOutboundMsgInfo("5", &b, nullptr);
  EXPECT_EQ(queue.GetOutboundMsgInfo("5")->cb, &b);
}
