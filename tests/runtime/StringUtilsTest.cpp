#include <cmath>
#include <cwchar>
#include <fstream>
#include <limits>
#include <regex>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "runtime/RuntimeTestEnv.h"
#include "runtime/StringUtils.h"

using namespace StringUtils;

TEST(StringUtilsFormat, SnprintfCutsAndReportsCharactersStored) {
  char buf[10];
  EXPECT_EQ(9, StringUtils::snprintf(buf, sizeof(buf), "%s", "01234567890123456789"));
  EXPECT_STREQ("012345678", buf);
  EXPECT_EQ(3, StringUtils::snprintf(buf, 4, "%s", "abc"));
  EXPECT_STREQ("abc", buf);
  EXPECT_EQ(3, StringUtils::snprintf(buf, 4, "%s", "abcd"));
  EXPECT_STREQ("abc", buf);
}

// A format without conversions is copied without the C library's formatter: it must store
// and answer what the formatter would, at every buffer size.
TEST(StringUtilsFormat, FixedTextMatchesTheFormatterAtEverySize) {
  for (const char* text : {"", "Enter\n", "Begin to send a message.\n", "100%% sure"}) {
    for (int size = 1; size <= 30; ++size) {
      char ours[32];
      char theirs[32];
      int n = StringUtils::snprintf(ours, size, text);
      int expected = ::snprintf(theirs, static_cast<size_t>(size), text, 0);
      EXPECT_EQ(expected < size ? expected : size - 1, n) << text << " in " << size;
      EXPECT_STREQ(theirs, ours) << text << " in " << size;
    }
  }
}

namespace {

int g_formatProbe = 0;

// Our formatter against the C library's for one format and its arguments, at every size.
template <class... Args>
void ExpectSameAsLibrary(const char* format, Args... args) {
  for (int size = 1; size <= 64; ++size) {
    char ours[64];
    char theirs[64];
    int n = StringUtils::snprintf(ours, size, format, args...);
    int expected = ::snprintf(theirs, static_cast<size_t>(size), format, args...);
    EXPECT_EQ(expected < size ? expected : size - 1, n) << format << " in " << size;
    EXPECT_STREQ(theirs, ours) << format << " in " << size;
  }
}

}  // namespace

// The plain conversions of log lines skip the C library's formatter: every byte and the
// count must be the library's, extremes, null texts and pointers, and cut lines included;
// anything else (flags, widths, other lengths) still goes to the library.
TEST(StringUtilsFormat, PlainConversionsMatchTheFormatter) {
  ExpectSameAsLibrary("Blob size is [%d].\n", 4096);
  ExpectSameAsLibrary("%d %i %d", std::numeric_limits<int>::min(), -1, 0);
  ExpectSameAsLibrary("%u %x %X", std::numeric_limits<unsigned>::max(), 0xbeefu, 0xbeefu);
  ExpectSameAsLibrary("id %lu, %ld, %lld %llu", 123456789012ul, -5l,
                      std::numeric_limits<long long>::min(), ~0ull);
  ExpectSameAsLibrary("%zu %zx %lx", static_cast<size_t>(77), static_cast<size_t>(255), 4096ul);
  const char* volatile none = nullptr;  // volatile: the compiler must not see the null
  ExpectSameAsLibrary("[%s] [%s] %c%c", "text", static_cast<const char*>(none), 'a', 'b');
  ExpectSameAsLibrary("%p %p 100%%", static_cast<void*>(&g_formatProbe),
                      static_cast<void*>(nullptr));
  ExpectSameAsLibrary("%08x %5d %-3s|%.2s %hd %lc", 0x2au, 7, "ab", "xyz", 3,
                      static_cast<wint_t>(65));
}

TEST(StringUtilsFormat, SnprintfSurvivesMissingBufferOrFormat) {
  char buf[4] = {'x', 'x', 'x', 'x'};
  EXPECT_EQ(0, StringUtils::snprintf(nullptr, 10, "%d", 1));
  EXPECT_EQ(0, StringUtils::snprintf(buf, 0, "%d", 1));
  EXPECT_EQ('x', buf[0]);
  EXPECT_EQ(0, StringUtils::snprintf(buf, -5, "%d", 1));
  EXPECT_EQ(0, StringUtils::snprintf(buf, 1, "%d", 12));
  EXPECT_EQ('\0', buf[0]);
  const char* noFormat = nullptr;
  EXPECT_EQ(0, StringUtils::snprintf(buf, sizeof(buf), noFormat));
  EXPECT_STREQ("", buf);
}

TEST(StringUtilsFormat, SprintfCutsToItsBuffer) {
  std::string big(20000, 'a');
  std::string text = StringUtils::sprintf("%s", big.c_str());
  EXPECT_EQ(static_cast<size_t>(kSprintfBufferSize - 1), text.size());
  EXPECT_EQ("x=5", StringUtils::sprintf("x=%d", 5));
}

TEST(StringUtilsFormatTime, WorkedExamples) {
  EXPECT_EQ("250ms", FormatTime(0.25, 3));
  EXPECT_EQ("1.500s", FormatTime(1.5, 3));
  EXPECT_EQ("0ms", FormatTime(0, 3));
  EXPECT_EQ("1:02:05.500", FormatTime(3725.5, 3));
  EXPECT_EQ("0:01:00", FormatTime(59.6, 0));
  EXPECT_EQ("1 days 1:01:01", FormatTime(86400 + 3600 + 60 + 1, 0));
  EXPECT_EQ("0.25s", FormatTime(0.25, 2));
  EXPECT_EQ("250000us", FormatTime(0.25, 6));
  EXPECT_EQ("7s", FormatTime(7.2, 0));
}

TEST(StringUtilsFormatTime, HostileInputStaysBounded) {
  const double inputs[] = {-5.0, std::nan(""), std::numeric_limits<double>::infinity(), 1e300,
                           -1e300};
  const int precisions[] = {-100, 0, 3, 9, 40, 1000000};
  for (double t : inputs) {
    for (int p : precisions) {
      std::string text = FormatTime(t, p);
      EXPECT_FALSE(text.empty());
      EXPECT_LE(text.size(), 127u);
    }
  }
  EXPECT_EQ("0ms", FormatTime(-1.0, 3));
}

TEST(StringUtilsFormatSize, WorkedExamples) {
  EXPECT_EQ("512.00B", FormatSize(512, 2));
  EXPECT_EQ("1.5KB", FormatSize(1536, 1));
  EXPECT_EQ("0.98KB", FormatSize(1000, 2));
  EXPECT_EQ("1.0MB", FormatSize(1024.0 * 1024, 1));
  // Past the last unit the value keeps growing under "P".
  EXPECT_EQ("1024PB", FormatSize(std::pow(1024.0, 6), 0));
}

TEST(StringUtilsFormatSize, HostileInputStaysBounded) {
  EXPECT_LE(FormatSize(1e308, 2).size(), 127u);
  EXPECT_LE(FormatSize(1.0, 100000).size(), 127u);
  EXPECT_FALSE(FormatSize(std::nan(""), 2).empty());
  EXPECT_FALSE(FormatSize(-1.0, -4).empty());
}

TEST(StringUtilsFunctionName, DropsReturnTypeAndArguments) {
  EXPECT_EQ(
      "ConfigSettingsReader::PollConfigFileWatcher::Run()",
      FormatFunctionName("virtual bool ConfigSettingsReader::PollConfigFileWatcher::Run(bool)"));
  EXPECT_EQ("UsbRedirectionProxy_Initialize()",
            FormatFunctionName("BOOL UsbRedirectionProxy_Initialize(DWORD)"));
  EXPECT_EQ("Foo::operator()", FormatFunctionName("void Foo::operator()(int)"));
  EXPECT_EQ("word", FormatFunctionName("some last word"));
  EXPECT_EQ("", FormatFunctionName("ends in blank "));
  EXPECT_EQ("OS Version", FormatFunctionName("@OS Version"));
  EXPECT_EQ("", FormatFunctionName(nullptr));
  EXPECT_EQ("", FormatFunctionName(""));
}

TEST(StringUtilsFunctionName, LongNamesAreCutToTheBuffer) {
  std::string longName = "void " + std::string(500, 'n') + "(int)";
  std::string shortened = FormatFunctionName(longName.c_str());
  EXPECT_LE(shortened.size(), 127u);
  EXPECT_EQ("()", shortened.substr(shortened.size() - 2));
  std::string at = "@" + std::string(500, 'a');
  EXPECT_EQ(127u, FormatFunctionName(at.c_str()).size());

  char small[6];
  EXPECT_STREQ("ab()", FormatFunctionName("int ab(void)", small, sizeof(small)));
  EXPECT_STREQ("abc()", FormatFunctionName("int abcdefgh(void)", small, sizeof(small)));
  char one[1];
  EXPECT_STREQ("", FormatFunctionName("int f()", one, 1));
  EXPECT_EQ(nullptr, FormatFunctionName("int f()", nullptr, 10));
}

TEST(StringUtilsText, TrimRemovesSurroundingWhiteSpaceOnly) {
  EXPECT_EQ("x y", trim("  x y \t"));
  EXPECT_EQ("", trim("   "));
  EXPECT_EQ("", trim(""));
  EXPECT_EQ("a", trim("a"));
}

TEST(StringUtilsText, SplitKeepsEmptyPiecesAndAppends) {
  std::vector<std::string> out;
  EXPECT_EQ(3, split("a,,b", ',', out));
  EXPECT_EQ((std::vector<std::string>{"a", "", "b"}), out);
  EXPECT_EQ(1, split("", ',', out));
  EXPECT_EQ(2, split("a,", ',', out));
  EXPECT_EQ((std::vector<std::string>{"a", "", "b", "", "a", ""}), out);
}

TEST(StringUtilsTime, TimeStrHasTheLogLineShape) {
  std::regex utc(R"(^\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}\.\d{3}Z$)");
  std::regex local(R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3}$)");
  EXPECT_TRUE(std::regex_match(TimeStr(true), utc)) << TimeStr(true);
  EXPECT_TRUE(std::regex_match(TimeStr(false), local)) << TimeStr(false);
  char buf[11];
  EXPECT_EQ(10, TimeStr(buf, sizeof(buf), true));
  EXPECT_EQ(0, TimeStr(nullptr, 10, true));
  EXPECT_EQ(0, TimeStr(buf, 0, true));
  // Alternating forms within one second never reuse the other form's text, and the time
  // agrees with the clock it was read from.
  for (int i = 0; i < 50; ++i) {
    ASSERT_TRUE(std::regex_match(TimeStr(i % 2 == 0), i % 2 == 0 ? utc : local));
  }
  time_t before = time(nullptr);
  std::string now = TimeStr(true);
  time_t after = time(nullptr);
  struct tm tmBefore, tmAfter;
  gmtime_r(&before, &tmBefore);
  gmtime_r(&after, &tmAfter);
  char textBefore[32], textAfter[32];
  strftime(textBefore, sizeof(textBefore), "%Y-%m-%dT%H:%M:%S", &tmBefore);
  strftime(textAfter, sizeof(textAfter), "%Y-%m-%dT%H:%M:%S", &tmAfter);
  EXPECT_TRUE(now.compare(0, 19, textBefore) == 0 || now.compare(0, 19, textAfter) == 0) << now;
  std::string zone = TimeZone();
  EXPECT_NE(std::string::npos, zone.find(" (UTC ")) << zone;
  EXPECT_EQ(')', zone.back());
}

TEST(StringUtilsConfig, FindsValueInHomeConfigIgnoringKeyCase) {
  TempDir home;
  ScopedEnv env("HOME", home.Path().c_str());
  ASSERT_EQ(0, mkdir((home.Path() + "/.quorin").c_str(), 0700));
  std::ofstream(home.Path() + "/.quorin/config") << "junk line\n"
                                                    "MyApp.count = 12\n"
                                                    "myapp.count=34 \n"
                                                    "MyApp.Other = 5\n"
                                                    "MyApp.empty =\n";
  UINT32 value = 0;
  EXPECT_TRUE(GetConfigValue("MYAPP", "count", &value));
  EXPECT_EQ(34u, value);
  EXPECT_FALSE(GetConfigValue("MyApp", "COUNT", &value));
  EXPECT_FALSE(GetConfigValue("MyApp", "empty", &value));
  EXPECT_FALSE(GetConfigValue(nullptr, "count", &value));
  EXPECT_FALSE(GetConfigValue("MyApp", "count", nullptr));
}

TEST(StringUtilsStubs, DesktopLookUpsAnswerNothing) {
  std::string value = "keep";
  EXPECT_EQ("", RegistryValue(nullptr, "Software\\Key"));
  EXPECT_FALSE(RegistryValue(nullptr, "Software\\Key", value));
  EXPECT_FALSE(PolicyValue("k", "v", value));
  EXPECT_FALSE(VolatileValue(1, "name", value));
  EXPECT_EQ("keep", value);
  EXPECT_FALSE(WaitForVolatileEnv(1, 1000));
  wchar_t* wide = nullptr;
  EXPECT_EQ(kErrorCallNotImplemented, MultiByteToWideChar("abc", &wide));
  EXPECT_EQ(nullptr, wide);
  EXPECT_EQ(L"", StringToWString("abc"));
}
