#include <string>

#include <gtest/gtest.h>

#include "usb/UsbOutboundMsgInfoQueue.h"

namespace {

int gA1, gB, gA2;

// Ids compare exactly (null is empty); duplicates go oldest first; a cleared queue stays
// usable and the destructor frees what is left (ASan).
TEST(UsbOutboundMsgInfoQueue, DuplicateIdsAreFoundAndRemovedOldestFirst) {
  UsbOutboundMsgInfoQueue queue;
  queue.EnqueueOutboundMsgInfo("A", &gA1, nullptr);
  queue.EnqueueOutboundMsgInfo("B", &gB, nullptr);
  queue.EnqueueOutboundMsgInfo("A", &gA2, &gB);
  for (const char* absent : {"a", "b", "", "AB"})
    EXPECT_EQ(queue.GetOutboundMsgInfo(absent), nullptr);
  EXPECT_EQ(queue.GetOutboundMsgInfo("A")->cb, &gA1);
  EXPECT_TRUE(queue.DequeueOutboundMsgInfo("A"));
  EXPECT_EQ(queue.GetOutboundMsgInfo("A")->cb, &gA2);
  EXPECT_EQ(queue.GetOutboundMsgInfo("A")->userData, &gB);
  EXPECT_EQ(queue.GetOutboundMsgInfo("B")->cb, &gB);
  EXPECT_TRUE(queue.DequeueOutboundMsgInfo("A"));
  EXPECT_FALSE(queue.DequeueOutboundMsgInfo("A"));
  EXPECT_EQ(queue.GetOutboundMsgInfo("A"), nullptr);
  queue.EnqueueOutboundMsgInfo("", &gA1, nullptr);
  queue.EnqueueOutboundMsgInfo(nullptr, &gA2, nullptr);
  EXPECT_EQ(queue.GetOutboundMsgInfo("")->cb, &gA1);
  EXPECT_TRUE(queue.DequeueOutboundMsgInfo(""));
  EXPECT_EQ(queue.GetOutboundMsgInfo("")->cb, &gA2);
  for (int i = 0; i < 100; ++i)
    queue.EnqueueOutboundMsgInfo(std::to_string(i).c_str(), nullptr, nullptr);
  queue.ClearOutboundMsgInfoQueue();
  EXPECT_EQ(queue.GetOutboundMsgInfo("5"), nullptr);
  EXPECT_EQ(queue.GetOutboundMsgInfo("B"), nullptr);
  queue.EnqueueOutboundMsgInfo("5", &gB, nullptr);
  EXPECT_EQ(queue.GetOutboundMsgInfo("5")->cb, &gB);
}

}  // namespace
