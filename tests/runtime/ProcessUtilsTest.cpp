#include <unistd.h>

#include <clocale>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "runtime/PlatformShims.h"
#include "runtime/ProcessUtils.h"
#include "support/ScopedTestLogger.h"

TEST(ProcessUtils, DescribesTheSystemAndTheBuild) {
  std::string os = ProcessUtils::GetOSDescription();
  EXPECT_EQ(0u, os.find("Linux, ")) << os;
  EXPECT_LE(os.size(), 405u);
  std::string version = ProcessUtils::GetModuleVersion("");
  EXPECT_EQ(0u, version.find("build-")) << version;
  EXPECT_EQ(')', version.back());
  EXPECT_EQ(OS_VERSION_LINUX, ProcessUtils::GetOSVersion());
  EXPECT_EQ(0x10000, static_cast<int>(ProcessUtils::GetOSVersion()));
  EXPECT_EQ(7u, ProcessUtils::GetSessionID(true, 7));
  EXPECT_EQ("", ProcessUtils::GetModulePath(true));
}

TEST(ProcessUtils, LoadPluginRefusesMissingNames) {
  ScopedTestLogger log(LOGGER_LOG_ERROR);
  EXPECT_EQ(nullptr, ProcessUtils::LoadPlugin(nullptr, LOGGER_LOG_ERROR));
  EXPECT_EQ(nullptr, ProcessUtils::LoadPlugin("", LOGGER_LOG_ERROR));
  EXPECT_EQ(nullptr, ProcessUtils::LoadPlugin("/nonexistent/libnothing.so", LOGGER_LOG_ERROR));
  // Only the load that was tried is logged, with the loader's reason.
  std::vector<std::string> lines = log.Writer()->MessagesContaining("Failed to load ");
  ASSERT_EQ(1u, lines.size());
  EXPECT_EQ(0u, lines[0].find("Failed to load /nonexistent/libnothing.so: /nonexistent/"))
      << lines[0];
}

TEST(ProcessUtils, SessionLookUpsHaveFixedAnswers) {
  char marker = 'm';
  char* sid = &marker;
  EXPECT_FALSE(ProcessUtils::GetUserSIDForSession(1, &sid, 0));
  EXPECT_EQ(nullptr, sid);
  EXPECT_FALSE(ProcessUtils::GetUserSIDForSession(1, nullptr, 0));
  EXPECT_FALSE(ProcessUtils::IsSessionConnected(1));
  EXPECT_EQ(nullptr, ProcessUtils::WTSConnectStateStr(0));
}

TEST(PlatformShims, WideCharStrcpySignExtendsEachByte) {
  WCHAR dest[4] = {0x1111, 0x1111, 0x1111, 0x1111};
  char src[] = {'A', static_cast<char>(0x80), static_cast<char>(0xFF)};
  size_t nBytes = 0;
  EXPECT_TRUE(WideCharStrcpy(dest, src, 3, &nBytes));
  EXPECT_EQ(6u, nBytes);
  EXPECT_EQ(0x0041, dest[0]);
  EXPECT_EQ(0xFF80, dest[1]);
  EXPECT_EQ(0xFFFF, dest[2]);
  EXPECT_EQ(0x1111, dest[3]);  // no terminator
  EXPECT_FALSE(WideCharStrcpy(nullptr, src, 3, &nBytes));
  EXPECT_FALSE(WideCharStrcpy(dest, nullptr, 3, nullptr));
}

TEST(PlatformShims, MultiByteToWideStrUsesTheLocale) {
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

TEST(PlatformShims, ProcessIdIsTheSystemOne) {
  EXPECT_EQ(static_cast<DWORD>(getpid()), GetCurrentProcessId());
}

TEST(PlatformShimsDeathTest, PanicEndsTheProcessWithStatus255Silently) {
  EXPECT_EXIT(Panic("fatal %d", 1), ::testing::ExitedWithCode(255), "^$");
}

TEST(PlatformShims, ThreadIdIsTheSystemsOwnNumberPerThread) {
  QrThreadID mine = GetCurrentThreadId();
  EXPECT_EQ(QrThread::GetCurrentThreadID(), mine);
  EXPECT_NE(0u, mine);
  QrThreadID other = 0;
  std::thread([&other] { other = GetCurrentThreadId(); }).join();
  EXPECT_NE(0u, other);
  EXPECT_NE(mine, other);
}
