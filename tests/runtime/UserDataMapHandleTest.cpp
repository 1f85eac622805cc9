#include <cstdlib>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "runtime/UserDataMapHandle.h"

namespace {
uintptr_t Bits(UserDataHandle h) { return reinterpret_cast<uintptr_t>(h); }
}  // namespace

TEST(UserDataMapHandle, BaseHandlesCombineTwoNumbers) {
  EXPECT_EQ(0xABCD0000u, Bits(UserDataMap_GetBaseHandle()));
  EXPECT_EQ(0x12343000u, Bits(UserDataMap_GetBaseHandle(0x1234, 3)));
  // The high number is cut to 32 bits, the low one to its last four bits.
  EXPECT_EQ(0x5678F000u, Bits(UserDataMap_GetBaseHandle(0x12345678, 0x1F)));
}

TEST(UserDataMapHandle, ConvertsToAndFromSmallNumbers) {
  UserDataHandle base = UserDataMap_GetBaseHandle(0x42, 1);
  UserDataHandle h = UserDataMap_FromUInt32(base, 0x123);
  EXPECT_EQ(0x421123u, Bits(h));
  EXPECT_EQ(0x123u, UserDataMap_ToUInt32(h));
  EXPECT_EQ(0xFFFu, UserDataMap_ToUInt32(UserDataMap_FromUInt32(base, 0xFFFFFFFF)));
  EXPECT_EQ(0u, UserDataMap_ToUInt32(nullptr));
}

TEST(UserDataMapHandle, NextHandlesFollowOneSharedCounter) {
  UserDataHandle a = UserDataMap_GetBaseHandle(1, 0);
  UserDataHandle b = UserDataMap_GetBaseHandle(2, 0);
  uint32_t first = UserDataMap_ToUInt32(UserDataMap_GetNextHandle(a));
  UserDataHandle next = UserDataMap_GetNextHandle(b);
  EXPECT_EQ(0x20000u, Bits(next) & ~uintptr_t{0xFFF});
  EXPECT_EQ((first + 1) & 0xFFF, UserDataMap_ToUInt32(next));
}

TEST(UserDataMapHandle, ConcurrentDrawsNeverRepeatWithinAWrap) {
  const int kThreads = 4;
  const int kPerThread = 1000;  // 4000 draws, fewer than the 4096 low values
  std::vector<std::vector<uint32_t>> drawn(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&drawn, t] {
      for (int i = 0; i < kPerThread; ++i) {
        drawn[t].push_back(UserDataMap_ToUInt32(UserDataMap_GetNextHandle(nullptr)));
      }
    });
  }
  for (auto& th : threads) th.join();
  std::vector<bool> seen(4096, false);
  for (const auto& values : drawn) {
    for (uint32_t v : values) {
      EXPECT_FALSE(seen[v]) << v;
      seen[v] = true;
    }
  }
}

TEST(UserDataMapHandleDeathTest, AFreshProcessDrawsOneFirst) {
  // The threadsafe style re-runs this test in a new process, where the counter is fresh.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        UserDataHandle h = UserDataMap_GetNextHandle(UserDataMap_GetBaseHandle());
        std::_Exit(Bits(h) == 0xABCD0001u ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}
