#include <cmath>
#include <cwchar>
#include <limits>
#include <tuple>

#include <gmock/gmock.h>

#include "runtime/StringUtils.h"

using namespace StringUtils;

namespace {

int g_formatProbe = 0;

// Our formatter against the C library's for one format and its arguments, at every size.
template <class... Args>
void ExpectSameAsLibrary(const char* format, Args... args) {
  for (int size = 1; size <= 64; ++size) {
    char ours[64], theirs[64];
    int n = StringUtils::snprintf(ours, size, format, args...);
    int expected = ::snprintf(theirs, static_cast<size_t>(size), format, args...);
    EXPECT_EQ(expected < size ? expected : size - 1, n) << format << " in " << size;
    EXPECT_STREQ(theirs, ours) << format << " in " << size;
  }
}

}  // namespace

// Fixed texts and the plain conversions of log lines skip the C library's formatter: bytes
// and count must be the library's at every size, extremes and null texts included; flags,
// widths and other lengths still go to the library. Missing buffers or formats store nothing.
TEST(StringUtilsFormat, SnprintfMatchesTheFormatterCutsAndSurvivesMissingInput) {
  ExpectSameAsLibrary("", 0);  // the unused argument keeps the format checker quiet
  ExpectSameAsLibrary("Enter\n", 0);
  ExpectSameAsLibrary("%d %i %d 100%%", std::numeric_limits<int>::min(), -1, 0);
  ExpectSameAsLibrary("%u %x %X %zu", std::numeric_limits<unsigned>::max(), 0xbeefu, 0xbeefu,
                      static_cast<size_t>(77));
  ExpectSameAsLibrary("%lu %ld %lld %llu %zx", 123456789012ul, -5l,
                      std::numeric_limits<long long>::min(), ~0ull, static_cast<size_t>(255));
  const char* volatile none = nullptr;  // volatile: the compiler must not see the null
  ExpectSameAsLibrary("[%s] [%s] %c %p %p", "text", static_cast<const char*>(none), 'a',
                      static_cast<void*>(&g_formatProbe), static_cast<void*>(nullptr));
  ExpectSameAsLibrary("%08x", 0x2au);
  ExpectSameAsLibrary("%d %lc", 7, static_cast<wint_t>(65));
  char buf[10] = "x";
  EXPECT_EQ(0, StringUtils::snprintf(nullptr, 10, "%d", 1));
  EXPECT_EQ(0, StringUtils::snprintf(buf, 0, "%d", 1));
  EXPECT_EQ('x', buf[0]);
  EXPECT_EQ(0, StringUtils::snprintf(buf, sizeof(buf), static_cast<const char*>(none)));
  EXPECT_STREQ("", buf);
  EXPECT_EQ(static_cast<size_t>(kSprintfBufferSize - 1),
            StringUtils::sprintf("%s", std::string(20000, 'a').c_str()).size());
}

TEST(StringUtilsFormat, TimesAndSizesReadAsWorkedExamplesAndStayBounded) {
  const std::tuple<bool, double, int, const char*> rows[] = {
      // clang-format off
      {true, 0.25, 3, "250ms"}, {true, 1.5, 3, "1.500s"}, {true, -1.0, 3, "0ms"},
      {true, 3725.5, 3, "1:02:05.500"}, {true, 59.6, 0, "0:01:00"}, {true, 7.2, 0, "7s"},
      {true, 86400 + 3600 + 60 + 1, 0, "1 days 1:01:01"}, {true, 0.25, 6, "250000us"},
      {false, 512, 2, "512.00B"}, {false, 1000, 2, "0.98KB"},
      {false, std::pow(1024.0, 6), 0, "1024PB"},  // past the last unit it grows under "P"
      // clang-format on
  };
  for (const auto& [time, value, precision, expected] : rows) {
    EXPECT_EQ(expected, time ? FormatTime(value, precision) : FormatSize(value, precision));
  }
  for (double v : {-5.0, std::nan(""), std::numeric_limits<double>::infinity(), 1e300, -1e300}) {
    for (int p : {-100, 0, 3, 9, 40, 1000000}) {
      for (const std::string& text : {FormatTime(v, p), FormatSize(v, p)}) {
        EXPECT_TRUE(!text.empty() && text.size() <= 127u) << v << " " << p << ": " << text;
      }
    }
  }
}

// The shortened names the log lines carry (the log_format fuzz seeds check the plain, the
// "@", the operator, the no-parenthesis, the blank-ended and the overlong signatures).
TEST(StringUtilsFunctionName, DropsReturnTypeAndArgumentsWithinTheBuffer) {
  EXPECT_EQ(
      "ConfigSettingsReader::PollConfigFileWatcher::Run()",
      FormatFunctionName("virtual bool ConfigSettingsReader::PollConfigFileWatcher::Run(bool)"));
  EXPECT_EQ("()", FormatFunctionName("static const char* Outer::Inner (int, char)"));
  EXPECT_EQ("", FormatFunctionName(""));
  EXPECT_EQ("", FormatFunctionName(nullptr));
  EXPECT_EQ(127u, FormatFunctionName(("@" + std::string(500, 'a')).c_str()).size());
  char small[6], one[1];
  EXPECT_STREQ("abc()", FormatFunctionName("int abcdefgh(void)", small, sizeof(small)));
  EXPECT_STREQ("", FormatFunctionName("int f()", one, 1));
  EXPECT_EQ(nullptr, FormatFunctionName("int f()", nullptr, 10));
}

// (trim is pinned by the configuration file reader's tests.)
TEST(StringUtilsText, SplitKeepsEmptyPiecesAndAppends) {
  std::vector<std::string> out{"old"};
  EXPECT_EQ(3, split("a,,b", ',', out));
  EXPECT_EQ(1, split("", ',', out));
  EXPECT_EQ((std::vector<std::string>{"old", "a", "", "b", ""}), out);
}

// Both stamp shapes, one after the other within a second, are pinned by the log line tests.
TEST(StringUtilsTime, TimeStrIsCutToItsBufferAndShowsTheClocksTime) {
  char buf[11];
  EXPECT_EQ(10, TimeStr(buf, sizeof(buf), true));
  EXPECT_EQ(0, TimeStr(nullptr, 10, true));
  EXPECT_EQ(0, TimeStr(buf, 0, true));
  auto stamp = [](time_t t) {
    char text[32];
    struct tm tm;
    return std::string(text, strftime(text, sizeof(text), "%FT%T", gmtime_r(&t, &tm)));
  };
  std::string before = stamp(time(nullptr));
  std::string now = TimeStr(true).substr(0, 19);
  EXPECT_LE(before, now);
  EXPECT_GE(stamp(time(nullptr)), now);
  EXPECT_THAT(TimeZone(), ::testing::MatchesRegex(".* \\(UTC [-+][0-9]{4}\\)"));
}
