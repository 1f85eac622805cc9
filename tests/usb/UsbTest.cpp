#include <string>

#include <gtest/gtest.h>

#include "support/ScopedTestLogger.h"
#include "usb/UsbOperationType.h"
#include "usb/UsbOutboundMsgInfoQueue.h"
#include "usb/UsbPostMsgFastServerCommand.h"
#include "usb/UsbPostMsgServerCommand.h"
#include "usb/UsbSendAsyncMsgServerCommand.h"

// The host's v1 and v2 entries are taken by the end-to-end and multi-server tests.
TEST(UsbCommandBase, MissingOperationsAndTablesFail) {
  ScopedTestLogger log(LOGGER_LOG_VERBOSE);
  UsbSendAsyncMsgServerCommand async(nullptr, nullptr, nullptr);
  UsbPostMsgServerCommand post(nullptr, nullptr, nullptr);
  EXPECT_EQ(nullptr, async.CreateRequest());
  EXPECT_FALSE(async.UsbKAPServiceCommand::ParseRequest());
  EXPECT_FALSE(post.CreateResponse());
  EXPECT_FALSE(async.ParseResponse());
  EXPECT_FALSE(async.ParseMessageContext());
  for (std::string method : {"CreateRequest", "ParseRequest", "CreateResponse", "ParseResponse"}) {
    EXPECT_TRUE(log.Writer()->HasMessage("The method " + method + " is not implemented.\n"));
  }
  // Without library tables a request is refused and nothing reaches the host.
  UsbPostMsgFastServerCommand fast(nullptr, nullptr, nullptr);
  EXPECT_FALSE(fast.InitializeMessageContext());
  EXPECT_FALSE(fast.ParseRequest());
  EXPECT_FALSE(async.ParseRequest());
  EXPECT_EQ(2, log.Writer()->CountContaining("Unexpected command received: 0."));

  KAP_RPC_VARIANT blob{};
  const auto urb = USB_REDIR_PACKAGE_TYPE_URB;
  const auto unknown = USB_OPERATION_TYPE_UNKNOWN;
  EXPECT_FALSE(post.TransferRequestToServerConsumer(nullptr, urb, unknown, blob, nullptr, nullptr));
  EXPECT_TRUE(log.Writer()->HasMessage("Invalid pointer for server callback interface.\n"));
  USBRedir_CallbackInterface neither = {};
  EXPECT_TRUE(post.TransferRequestToServerConsumer(&neither, urb, unknown, blob, nullptr, nullptr));
}

// Names no other test maps (the fuzz corpus checks case, length and bytes; e2e UnplugDevice).
TEST(GetUsbOperationType, ClientStartupAndOxbIsReady) {
  EXPECT_EQ(GetUsbOperationType("ClientStartup"), USB_OPERATION_TYPE_RUSB_CLIENTSTARTUP);
  EXPECT_EQ(GetUsbOperationType("oxbisready", 10), USB_OPERATION_TYPE_RUSB_OXBISREADY);
  EXPECT_EQ(GetUsbOperationType(nullptr), USB_OPERATION_TYPE_UNKNOWN);
}

// The destructor frees what is left (ASan).
TEST(UsbOutboundMsgInfoQueue, DuplicateIdsAreFoundAndRemovedOldestFirst) {
  int a1, b, a2;
  UsbOutboundMsgInfoQueue queue;
  queue.EnqueueOutboundMsgInfo("A", &a1, nullptr);
  queue.EnqueueOutboundMsgInfo("B", &b, nullptr);
  queue.EnqueueOutboundMsgInfo("A", &a2, &b);
  for (const char* absent : {"a", "", "AB"}) EXPECT_EQ(queue.GetOutboundMsgInfo(absent), nullptr);
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
  queue.ClearOutboundMsgInfoQueue();
  EXPECT_EQ(queue.GetOutboundMsgInfo("B"), nullptr);
  queue.EnqueueOutboundMsgInfo("B", &a1, nullptr);
  EXPECT_EQ(queue.GetOutboundMsgInfo("B")->cb, &a1);
}
