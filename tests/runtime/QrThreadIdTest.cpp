#include <gtest/gtest.h>
#include <unistd.h>

#include <set>
#include <thread>
#include <vector>

#include "runtime/QrThread.h"

namespace {

TEST(QrThreadID, NumbersAreOddMultiplesOfThePidFactorFromTwelveOn) {
  const QrThreadID factor = 2 * (static_cast<QrThreadID>(getpid()) & 0xFFFF) + 1;
  std::vector<QrThreadID> ids(8);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < ids.size(); ++i) {
    threads.emplace_back([&ids, i] {
      ids[i] = QrThread::GetCurrentThreadID();
      EXPECT_EQ(ids[i], QrThread::GetCurrentThreadID());  // cached
      EXPECT_TRUE(QrThread::IsCurrentThread(ids[i]));
    });
  }
  for (std::thread& t : threads) {
    t.join();
  }
  std::set<QrThreadID> distinct(ids.begin(), ids.end());
  EXPECT_EQ(ids.size(), distinct.size());
  for (QrThreadID id : ids) {
    EXPECT_EQ(0u, id % factor);
    EXPECT_GE(id / factor, 12u);
    EXPECT_FALSE(QrThread::IsCurrentThread(id));
  }
}

}  // namespace
