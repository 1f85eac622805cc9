#include <set>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "channel/SessionUtils.h"
#include "support/ScopedTestLogger.h"

static ProtocolSID Proto(uintptr_t value) { return reinterpret_cast<ProtocolSID>(value); }

TEST(SessionUtils, TypeNamesAndTimers) {
  EXPECT_EQ(SessionUtils::SessionTypeToStr(KAP_SERVICE_QUILL_SESSION), "QUILL SESSION");
  EXPECT_EQ(SessionUtils::SessionTypeToStr(KAP_SERVICE_NONE_SESSION), "NONE SESSION");
  EXPECT_EQ(SessionUtils::SessionTypeToStr(static_cast<KAPService_SessionType>(2)), "unknown 2");

  EXPECT_LT(SessionUtils::GetElapsedTime(4242), 50u);
  std::this_thread::sleep_for(std::chrono::milliseconds(60));
  uint32_t elapsed = SessionUtils::GetElapsedTime(4242);
  EXPECT_GE(elapsed, 55u);
  EXPECT_LT(elapsed, 2000u);
  SessionUtils::ResetStartTime(4242);
  EXPECT_LT(SessionUtils::GetElapsedTime(4242), elapsed);
}

// Threads ask for overlapping pairs at once: never two ids for one pair or one for two.
TEST(SessionUtilsUniqueSid, OneIdPerPairUntilRemovedAlsoUnderConcurrentRequests) {
  ScopedTestLogger log(LOGGER_LOG_VERBOSE);
  const int kThreads = 4, kPairs = 64;
  std::vector<std::vector<DWORD>> seen(kThreads, std::vector<DWORD>(kPairs));
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &seen] {
      for (int i = 0; i < kPairs; ++i) {
        int pair = (i * 7 + t * 13) % kPairs;  // a different order per thread
        seen[t][pair] = SessionUtils::GetNextUniqueSid(3000 + pair, Proto(0x5000 + pair));
      }
    });
  }
  for (auto& thread : threads) thread.join();
  std::set<DWORD> distinct;
  for (int i = 0; i < kPairs; ++i) {
    for (int t = 1; t < kThreads; ++t) EXPECT_EQ(seen[t][i], seen[0][i]) << "pair " << i;
    distinct.insert(seen[0][i]);
  }
  EXPECT_EQ(distinct.size(), static_cast<size_t>(kPairs));
  const DWORD a = seen[0][0];
  EXPECT_GT(a, 65536u);
  EXPECT_TRUE(distinct.insert(SessionUtils::GetNextUniqueSid(3000, Proto(0x5001))).second);
  DWORD platform = 0;
  ProtocolSID proto = nullptr;
  ASSERT_EQ(SessionUtils::GetSidsFromUniqueSid(seen[0][1], platform, proto), TRUE);
  EXPECT_EQ(platform, 3001u);
  EXPECT_EQ(proto, Proto(0x5001));

  for (DWORD id : distinct) EXPECT_EQ(SessionUtils::RemoveUniqueSid(id), TRUE);
  EXPECT_EQ(SessionUtils::RemoveUniqueSid(a), FALSE);
  EXPECT_EQ(log.Writer()->CountContaining("Internal SID map"), 0);
  EXPECT_EQ(SessionUtils::GetSidsFromUniqueSid(a, platform, proto), FALSE);  // leaves them alone
  EXPECT_EQ(platform, 3001u);
  EXPECT_EQ(proto, Proto(0x5001));
  DWORD again = SessionUtils::GetNextUniqueSid(3000, Proto(0x5000));
  EXPECT_NE(again, a);
  EXPECT_EQ(SessionUtils::RemoveUniqueSid(again), TRUE);
}
