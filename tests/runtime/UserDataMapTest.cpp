#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "runtime/RCPtr.h"
#include "runtime/UserDataMap.h"

TEST(UserDataMap, InsertGetRemoveByHandle) {
  RCPtr<UserDataMap<std::string>> map = new UserDataMap<std::string>();
  UserDataHandle a = map->Insert("alpha");
  UserDataHandle b = map->Insert("beta");
  EXPECT_NE(a, b);
  EXPECT_EQ(0xABCD0000u, reinterpret_cast<uintptr_t>(a) & ~uintptr_t{0xFFF});
  EXPECT_EQ("alpha", map->Get(a));
  EXPECT_EQ("beta", map->Get(b));
  EXPECT_TRUE(map->Remove(a));
  EXPECT_FALSE(map->Remove(a));
  EXPECT_EQ("", map->Get(a));
  EXPECT_EQ("", map->Get(nullptr));
  map->RemoveAll();
  EXPECT_EQ("", map->Get(b));
  EXPECT_EQ(0u, map->Size());
}

TEST(UserDataMap, SkipsHandlesInUseAndRefusesWhenFull) {
  RCPtr<UserDataMap<int>> map = new UserDataMap<int>();
  std::vector<UserDataHandle> handles;
  for (int i = 0; i < 4096; ++i) {
    UserDataHandle h = map->Insert(i);
    ASSERT_NE(nullptr, h);
    handles.push_back(h);
  }
  EXPECT_EQ(4096u, map->Size());
  EXPECT_EQ(nullptr, map->Insert(-1));
  for (int i = 0; i < 4096; ++i) EXPECT_EQ(i, map->Get(handles[i]));
  ASSERT_TRUE(map->Remove(handles[100]));
  // The only free handle is the removed one; the draw must find it.
  EXPECT_EQ(handles[100], map->Insert(7));
  EXPECT_EQ(7, map->Get(handles[100]));
}

TEST(UserDataMap, ConcurrentInsertsGetDistinctHandles) {
  RCPtr<UserDataMap<int>> map = new UserDataMap<int>();
  const int kThreads = 4;
  const int kPerThread = 500;
  std::vector<std::vector<UserDataHandle>> got(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        UserDataHandle h = map->Insert(t * kPerThread + i);
        got[t].push_back(h);
        if (i % 2 == 1) map->Remove(h);
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(static_cast<size_t>(kThreads * kPerThread / 2), map->Size());
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kPerThread; i += 2) EXPECT_EQ(t * kPerThread + i, map->Get(got[t][i]));
  }
}
