#include <gtest/gtest.h>

#include "usb/UsbOutboundMsgInfoQueue.h"

namespace {

int gCallbackA1, gCallbackB, gCallbackA2;

TEST(UsbOutboundMsgInfoQueue, DuplicateIdsAreFoundAndRemovedOldestFirst) {
  UsbOutboundMsgInfoQueue queue;
  queue.EnqueueOutboundMsgInfo("A", &gCallbackA1, nullptr);
  queue.EnqueueOutboundMsgInfo("B", &gCallbackB, nullptr);
  queue.EnqueueOutboundMsgInfo("A", &gCallbackA2, &gCallbackB);

  ASSERT_NE(queue.GetOutboundMsgInfo("A"), nullptr);
  EXPECT_EQ(queue.GetOutboundMsgInfo("A")->cb, &gCallbackA1);

  EXPECT_TRUE(queue.DequeueOutboundMsgInfo("A"));
  EXPECT_EQ(queue.GetOutboundMsgInfo("A")->cb, &gCallbackA2);
  EXPECT_EQ(queue.GetOutboundMsgInfo("A")->userData, &gCallbackB);
  EXPECT_EQ(queue.GetOutboundMsgInfo("B")->cb, &gCallbackB);

  EXPECT_TRUE(queue.DequeueOutboundMsgInfo("A"));
  EXPECT_FALSE(queue.DequeueOutboundMsgInfo("A"));
  EXPECT_EQ(queue.GetOutboundMsgInfo("A"), nullptr);
  EXPECT_NE(queue.GetOutboundMsgInfo("B"), nullptr);
}

TEST(UsbOutboundMsgInfoQueue, IdsCompareExactly) {
  UsbOutboundMsgInfoQueue queue;
  queue.EnqueueOutboundMsgInfo("B", nullptr, nullptr);
  EXPECT_EQ(queue.GetOutboundMsgInfo("A"), nullptr);
  EXPECT_EQ(queue.GetOutboundMsgInfo("b"), nullptr);
  EXPECT_EQ(queue.GetOutboundMsgInfo(""), nullptr);

  queue.EnqueueOutboundMsgInfo("", &gCallbackA1, nullptr);
  queue.EnqueueOutboundMsgInfo(nullptr, &gCallbackA2, nullptr);  // taken as the empty id
  EXPECT_EQ(queue.GetOutboundMsgInfo("")->cb, &gCallbackA1);
  EXPECT_TRUE(queue.DequeueOutboundMsgInfo(""));
  EXPECT_EQ(queue.GetOutboundMsgInfo("")->cb, &gCallbackA2);
}

TEST(UsbOutboundMsgInfoQueue, ClearEmptiesAndStaysUsable) {
  UsbOutboundMsgInfoQueue queue;
  for (int i = 0; i < 100; ++i) {
    queue.EnqueueOutboundMsgInfo(std::to_string(i).c_str(), nullptr, nullptr);
  }
  queue.ClearOutboundMsgInfoQueue();
  EXPECT_EQ(queue.GetOutboundMsgInfo("5"), nullptr);
  queue.EnqueueOutboundMsgInfo("5", &gCallbackB, nullptr);
  EXPECT_EQ(queue.GetOutboundMsgInfo("5")->cb, &gCallbackB);
}  // the destructor frees the remaining record (checked under ASan)

}  // namespace
