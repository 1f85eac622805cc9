#include <string>

#include <gtest/gtest.h>

#include "usb/UsbOutboundMsgInfoQueue.h"

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
