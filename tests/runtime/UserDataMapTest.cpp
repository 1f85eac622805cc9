#include <cstdlib>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "runtime/RCPtr.h"
#include "runtime/UserDataMap.h"
#include "runtime/UserDataMapHandle.h"

namespace {
uintptr_t Bits(UserDataHandle h) { return reinterpret_cast<uintptr_t>(h); }

void OnThreads(int n, const std::function<void(int)>& body) {
  std::vector<std::thread> threads;
  for (int t = 0; t < n; ++t) threads.emplace_back(body, t);
  for (auto& th : threads) th.join();
}
}  // namespace

TEST(UserDataMapHandle, HandlesCombineABaseWithASharedTwelveBitCounter) {
  EXPECT_EQ(0xABCD0000u, Bits(UserDataMap_GetBaseHandle()));
  // The high number is cut to 32 bits, the low one to its last four bits.
  EXPECT_EQ(0x5678F000u, Bits(UserDataMap_GetBaseHandle(0x12345678, 0x1F)));
  UserDataHandle base = UserDataMap_GetBaseHandle(0x42, 1);
  EXPECT_EQ(0x421123u, Bits(UserDataMap_FromUInt32(base, 0x123)));
  EXPECT_EQ(0xFFFu, UserDataMap_ToUInt32(UserDataMap_FromUInt32(base, 0xFFFFFFFF)));
  EXPECT_EQ(0u, UserDataMap_ToUInt32(nullptr));
  uint32_t first = UserDataMap_ToUInt32(UserDataMap_GetNextHandle(base));
  UserDataHandle next = UserDataMap_GetNextHandle(UserDataMap_GetBaseHandle(2, 0));
  EXPECT_EQ(0x20000u, Bits(next) & ~uintptr_t{0xFFF});
  EXPECT_EQ((first + 1) & 0xFFF, UserDataMap_ToUInt32(next));
}

TEST(UserDataMapHandleDeathTest, AFreshProcessDrawsOneFirst) {
  // The threadsafe style re-runs this test in a new process, where the counter is fresh.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      std::_Exit(Bits(UserDataMap_GetNextHandle(UserDataMap_GetBaseHandle())) != 0xABCD0001u),
      ::testing::ExitedWithCode(0), "");
}

TEST(UserDataMap, InsertGetRemoveSkipHandlesInUseAndRefuseWhenFull) {
  RCPtr<UserDataMap<int>> map = new UserDataMap<int>();
  std::vector<UserDataHandle> handles;
  for (int i = 0; i < 4096; ++i) {
    handles.push_back(map->Insert(i));
    ASSERT_EQ(0xABCD0000u, Bits(handles.back()) & ~uintptr_t{0xFFF});
  }
  EXPECT_EQ(nullptr, map->Insert(-1));
  for (int i = 0; i < 4096; ++i) ASSERT_EQ(i, map->Get(handles[i]));
  ASSERT_TRUE(map->Remove(handles[100]));
  EXPECT_FALSE(map->Remove(handles[100]));
  EXPECT_EQ(0, map->Get(handles[100]));
  EXPECT_EQ(0, map->Get(nullptr));
  EXPECT_EQ(handles[100], map->Insert(7));  // the only free handle: the draw must find it
  EXPECT_EQ(7, map->Get(handles[100]));
  map->RemoveAll();
  EXPECT_EQ(0u, map->Size());
  EXPECT_EQ(0, map->Get(handles[5]));
}

TEST(UserDataMap, ConcurrentDrawsAndInsertsGetDistinctHandles) {
  const int kThreads = 4, kPerThread = 1000;  // 4000 draws, fewer than the 4096 low values
  std::vector<uint32_t> drawn(kThreads * kPerThread);
  OnThreads(kThreads, [&](int t) {
    for (int k = t * kPerThread; k < (t + 1) * kPerThread; ++k) {
      drawn[k] = UserDataMap_ToUInt32(UserDataMap_GetNextHandle(nullptr));
    }
  });
  EXPECT_EQ(drawn.size(), std::set<uint32_t>(drawn.begin(), drawn.end()).size());
  RCPtr<UserDataMap<int>> map = new UserDataMap<int>();
  std::vector<UserDataHandle> got(kThreads * kPerThread);
  OnThreads(kThreads, [&](int t) {
    for (int k = t * kPerThread; k < (t + 1) * kPerThread; ++k) {
      got[k] = map->Insert(k);
      if (k % 2 == 1) map->Remove(got[k]);
    }
  });
  EXPECT_EQ(got.size() / 2, map->Size());
  for (int k = 0; k < kThreads * kPerThread; k += 2) EXPECT_EQ(k, map->Get(got[k]));
}
