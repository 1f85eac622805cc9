#include <clocale>
#include <cstdlib>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>

#include "runtime/PlatformShims.h"
#include "runtime/ProcessUtils.h"
#include "support/ScopedTestLogger.h"

using ::testing::StartsWith;

TEST(ProcessUtils, DescribesTheSystemAndLogsOnlyTriedLoads) {
  EXPECT_THAT(ProcessUtils::GetOSDescription(), StartsWith("Linux, "));
  char marker = 'm';
  char* sid = &marker;
  EXPECT_FALSE(ProcessUtils::GetUserSIDForSession(1, &sid, 0));
  EXPECT_EQ(nullptr, sid);  // never left pointing at something the caller might free
  EXPECT_FALSE(ProcessUtils::GetUserSIDForSession(1, nullptr, 0));

  ScopedTestLogger log(LOGGER_LOG_ERROR);
  EXPECT_EQ(nullptr, ProcessUtils::LoadPlugin(nullptr, LOGGER_LOG_ERROR));
  EXPECT_EQ(nullptr, ProcessUtils::LoadPlugin("", LOGGER_LOG_ERROR));
  EXPECT_EQ(nullptr, ProcessUtils::LoadPlugin("/nonexistent/libnothing.so", LOGGER_LOG_ERROR));
  EXPECT_THAT(log.Writer()->MessagesContaining("Failed to load "),
              ::testing::ElementsAre(
                  StartsWith("Failed to load /nonexistent/libnothing.so: /nonexistent/")));
}

TEST(PlatformShims, WideCopiesSignExtendEachByteAndConversionsFollowTheLocale) {
  WCHAR dest[4] = {0x1111, 0x1111, 0x1111, 0x1111};
  char src[] = {'A', static_cast<char>(0x80), static_cast<char>(0xFF)};
  size_t nBytes = 0;
  EXPECT_TRUE(WideCharStrcpy(dest, src, 3, &nBytes));
  EXPECT_EQ(6u, nBytes);
  EXPECT_EQ((std::vector<WCHAR>{0x0041, 0xFF80, 0xFFFF, 0x1111}),  // no terminator
            std::vector<WCHAR>(dest, dest + 4));
  EXPECT_FALSE(WideCharStrcpy(nullptr, src, 3, &nBytes) ||
               WideCharStrcpy(dest, nullptr, 3, nullptr));

  std::string old = setlocale(LC_CTYPE, nullptr);
  ASSERT_NE(nullptr, setlocale(LC_CTYPE, "C.UTF-8"));
  size_t len = 0;
  wchar_t* wide = MultiByteToWideStr("a\xC3\xA9z", &len);
  ASSERT_NE(nullptr, wide);
  EXPECT_EQ(3u, len);
  EXPECT_EQ(std::wstring(L"a\u00E9z"), std::wstring(wide));
  free(wide);
  EXPECT_EQ(nullptr, MultiByteToWideStr("bad \xFF byte", &len));
  EXPECT_EQ(nullptr, MultiByteToWideStr(nullptr, &len));
  setlocale(LC_CTYPE, old.c_str());
}

TEST(PlatformShimsDeathTest, PanicEndsTheProcessWithStatus255Silently) {
  EXPECT_EXIT(Panic("fatal %d", 1), ::testing::ExitedWithCode(255), "^$");
}

TEST(PlatformShims, ThreadIdsAreDistinctPerThreadAndStable) {
  std::vector<QrThreadID> ids(8);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < ids.size(); ++i) {
    threads.emplace_back([&ids, i] {
      ids[i] = QrThread::GetCurrentThreadID();
      EXPECT_EQ(ids[i], GetCurrentThreadId());
      EXPECT_TRUE(QrThread::IsCurrentThread(ids[i]));
    });
  }
  for (std::thread& t : threads) t.join();
  ids.push_back(GetCurrentThreadId());
  EXPECT_EQ(ids.size(), std::set<QrThreadID>(ids.begin(), ids.end()).size());
  EXPECT_EQ(0u, std::set<QrThreadID>(ids.begin(), ids.end()).count(0));
  EXPECT_FALSE(QrThread::IsCurrentThread(ids[0]));
}
