// The logger's dispatch rules, life cycle and registry, observed through recording writers.
#include <cstdio>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "logging/FunctionTrace.h"
#include "logging/Logger.h"
#include "runtime/QrThread.h"
#include "support/ScopedTestLogger.h"
#include "support/TestLogWriter.h"

namespace {

const char kLocalStamp[] = "\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}\\.\\d{3}";
const char kUtcStamp[] = "\\d{4}-\\d{2}-\\d{2}T\\d{2}:\\d{2}:\\d{2}\\.\\d{3}Z";
const std::string kSeparator = std::string(39, '-') + "\n";

bool StartsWithSeparator(const std::string& line) { return line.compare(0, 40, kSeparator) == 0; }

// The settled poll thread's start-up lines cannot reach a test's logger.
class QuietLogging : public ::testing::Test {
 protected:
  void SetUp() override { ScopedTestLogger::SettlePollThread(); }
  void TearDown() override { Logger::ShutDown(); }

  static LoggerPtr Make(const char* name, std::initializer_list<TestLogWriter*> writers) {
    LoggerPtr logger = Logger::Create(name, "App", true);
    for (TestLogWriter* writer : writers) {
      EXPECT_TRUE(logger->AddWriter(writer));
    }
    return logger;
  }
};

}  // namespace

using LoggerLine = QuietLogging;
using LoggerDispatch = QuietLogging;
using LoggerLifecycle = QuietLogging;

// The separator that marks a change of thread, a line built once by the first initialised
// writer and shared with its separator, empty and filtered hex dumps, and function traces.
// (The line's prefix, shortening, cut and hex dump bytes are pinned by fuzz_corpus_log_format.)
TEST_F(LoggerLine, SeparatorSharedLineAndTrace) {
  TestLogWriterPtr failing(new TestLogWriter(LOG_WRITER_DEBUG));
  TestLogWriterPtr first(new TestLogWriter(LOG_WRITER_SOCKET));
  TestLogWriterPtr third(new TestLogWriter(LOG_WRITER_STDERR));
  failing->SetInitResult(false);
  ASSERT_TRUE(Make("Shared", {failing.Ptr(), first.Ptr(), third.Ptr()})->Start());
  first->Clear();
  third->Clear();
  Logger::Log("@Somewhere", LOGGER_LOG_INFO, "one");
  // The third writer sees the other thread first and would print no separator itself.
  std::thread([] {
    Logger::Log_Writer("@T", LOGGER_LOG_INFO, LOG_WRITER_STDERR, "prime");
    Logger::Log("@Other", LOGGER_LOG_INFO, "two");
    Logger::Log("@Other", LOGGER_LOG_INFO, "three");
  }).join();
  Logger::Log("@Main", LOGGER_LOG_INFO, "four");
  std::vector<std::string> lines = first->Lines();
  ASSERT_EQ(4u, lines.size());
  EXPECT_FALSE(StartsWithSeparator(lines[0]));  // this thread logged last (at start)
  EXPECT_TRUE(StartsWithSeparator(lines[1])) << lines[1];
  EXPECT_FALSE(StartsWithSeparator(lines[2]));
  EXPECT_TRUE(StartsWithSeparator(lines[3]));
  EXPECT_TRUE(std::regex_match(lines[1].substr(kSeparator.size()),
                               std::regex(std::string("^") + kLocalStamp + " .*two\\n")));
  std::vector<std::string> shared = third->Lines();
  ASSERT_EQ(5u, shared.size());
  shared.erase(shared.begin() + 1);  // "prime"
  EXPECT_EQ(lines, shared);
  EXPECT_EQ(0u, failing->Count());

  first->Clear();
  Logger::LogHexDump("@Dump", LOGGER_LOG_INFO, "ABC", 0);
  Logger::LogHexDump("@Dump", LOGGER_LOG_DEBUG, "ABC", 3);
  { FunctionTrace trace(LOGGER_LOG_INFO, "void Traced::Op(int)"); }
  { FunctionTrace trace(LOGGER_LOG_INFO, "void Traced::Op(int)", LoggerPtr(), "id %d", 7); }
  { FunctionTrace trace(LOGGER_LOG_VERBOSE, "void Traced::Op()"); }  // filtered
  {
    FunctionTrace trace(LOGGER_LOG_DEBUG, "void Traced::Op()");
    trace.SetExitMsg(LOGGER_LOG_ERROR, "failed: %d\n", -2);
  }
  EXPECT_EQ((std::vector<std::string>{"Enter", "Exit", "Enter - id 7", "Exit", "failed: -2"}),
            first->Messages());
  EXPECT_EQ((std::vector<Level>{LOGGER_LOG_INFO, LOGGER_LOG_INFO, LOGGER_LOG_INFO, LOGGER_LOG_INFO,
                                LOGGER_LOG_ERROR}),
            first->Levels());
}

TEST_F(LoggerDispatch, PrintfFiltersUtcStampAndAWriterThatLogsFromItsWrite) {
  testing::internal::CaptureStdout();
  Logger::LogPrintf("int Module::Call(int)", "value=%d", 5);
  std::string printed = testing::internal::GetCapturedStdout();
  char thread[32];
  std::snprintf(thread, sizeof(thread), " 0x%08lX ",
                static_cast<unsigned long>(QrThread::GetCurrentThreadID()));
  EXPECT_TRUE(std::regex_match(
      printed, std::regex(kLocalStamp + std::string(thread) + "Module::Call\\(\\): value=5\\n")))
      << printed;

  TestLogWriterPtr debug(new TestLogWriter(LOG_WRITER_DEBUG));
  TestLogWriterPtr out(new TestLogWriter(LOG_WRITER_STDOUT));
  TestLogWriterPtr err(new TestLogWriter(LOG_WRITER_STDERR));
  LoggerPtr logger = Make("Targets", {debug.Ptr(), out.Ptr(), err.Ptr()});
  ASSERT_TRUE(logger->SetLevel(LOGGER_LOG_WARN));
  ASSERT_TRUE(logger->SetUseLocalTime(false));
  ASSERT_TRUE(logger->Start());
  for (auto* w : {debug.Ptr(), out.Ptr(), err.Ptr()}) {
    w->Clear();
  }
  EXPECT_TRUE(Logger::IsEnabled(LOGGER_LOG_WARN));
  EXPECT_FALSE(Logger::IsEnabled(LOGGER_LOG_INFO));
  Logger::Log_Writer("@W", LOGGER_LOG_WARN, LOG_WRITER_STDOUT, "only stdout");
  Logger::Log_Writer("@W", LOGGER_LOG_WARN, LOG_WRITER_FILE, "nobody");
  Logger::Log_Group("@G", LOGGER_LOG_ERROR, {LOG_WRITER_DEBUG, LOG_WRITER_STDERR}, "group");
  Logger::NLog_Writer(logger, "@W", LOGGER_LOG_INFO, LOG_WRITER_STDERR, "filtered level");
  Logger::Log("@F", LOGGER_LOG_INFO, "dropped");
  Logger::LogProxy("@F", LOGGER_LOG_INFO, "dropped");
  Logger::NLog(LoggerPtr(), "@F", LOGGER_LOG_ERROR, "no logger");
  Logger::LogProxy("@F", LOGGER_LOG_WARN, "kept");
  EXPECT_EQ((std::vector<std::string>{"group", "kept"}), debug->Messages());
  EXPECT_EQ((std::vector<std::string>{"only stdout", "kept"}), out->Messages());
  EXPECT_EQ((std::vector<std::string>{"group", "kept"}), err->Messages());
  EXPECT_TRUE(std::regex_match(
      debug->Lines()[0],
      std::regex("(-{39}\\n)?" + std::string(kUtcStamp) + " <.*\\] E G: group\\n")))
      << debug->Lines()[0];

  int calls = 0;
  debug->SetOnWrite([&](const std::string&) {
    ++calls;
    Logger::Log("@Inner", LOGGER_LOG_ERROR, "inner");
    QR_LOG(LOGGER_LOG_ERROR, "inner again");
  });
  Logger::Log("@Outer", LOGGER_LOG_WARN, "outer");
  debug->SetOnWrite(nullptr);
  EXPECT_EQ(1, calls);
  Logger::Log("@Outer", LOGGER_LOG_WARN, "after");  // the recursion counter came back down
  EXPECT_EQ((std::vector<std::string>{"group", "kept", "outer", "after"}), debug->Messages());
}

// Four start-up lines (the first without a separator, even from another thread; their texts
// are pinned end to end by the plug-in's log file), setters that fail once started, and the
// process level that follows the started default logger.
TEST_F(LoggerLifecycle, StartupLinesThenSettersFailAndTheLevelHolds) {
  TestLogWriterPtr writer(new TestLogWriter());
  LoggerPtr logger = Make("Startup", {writer.Ptr()});
  ASSERT_TRUE(logger->SetLevel(LOGGER_LOG_DEBUG));
  EXPECT_EQ(LOGGER_LOG_ALWAYS, Logger::s_defaultLoggerLogLevel);  // not started yet
  std::thread([&] { ASSERT_TRUE(logger->Start()); }).join();
  std::vector<std::string> lines = writer->Lines();
  ASSERT_EQ(4u, lines.size());
  EXPECT_NE('-', lines[0][0]);
  EXPECT_TRUE(std::regex_search(
      lines[2], std::regex(std::string("\\] A Time Zone: .*, UTC time is ") + kUtcStamp + "\\n$")))
      << lines[2];

  EXPECT_EQ(LOGGER_LOG_DEBUG, Logger::s_defaultLoggerLogLevel);
  EXPECT_FALSE(logger->SetLevel(LOGGER_LOG_ERROR));
  EXPECT_FALSE(logger->SetEnabled(false));
  EXPECT_FALSE(logger->SetUseLocalTime(false));
  EXPECT_FALSE(logger->SetAutoCreationOfWriters(true));
  EXPECT_EQ(LOGGER_LOG_DEBUG, logger->GetLevel());
  EXPECT_STREQ("DEBUG", logger->GetLevelAsStr());
  EXPECT_EQ(nullptr, logger->CreateWriter(LOG_WRITER_FILE).Ptr());
  TestLogWriterPtr late(new TestLogWriter(LOG_WRITER_STDOUT));
  EXPECT_FALSE(logger->AddWriter(late.Ptr()));
  LoggerPtr idle = Logger::Create("Idle", "App", false);
  EXPECT_TRUE(Logger::SetDefault(idle));  // not started: no level of its own
  EXPECT_EQ(LOGGER_LOG_ALWAYS, Logger::s_defaultLoggerLogLevel);
  EXPECT_TRUE(Logger::SetDefault(logger));
  EXPECT_EQ(LOGGER_LOG_DEBUG, Logger::s_defaultLoggerLogLevel);
  Logger::ShutDown();
  EXPECT_EQ(LOGGER_LOG_ALWAYS, Logger::s_defaultLoggerLogLevel);
  size_t before = writer->Count();
  Logger::Log("@F", LOGGER_LOG_ALWAYS, "after");
  EXPECT_EQ(before, writer->Count());
  EXPECT_FALSE(writer->IsInitialized());
}

TEST_F(LoggerLifecycle, StartAndCreateRefusals) {
  EXPECT_FALSE(Logger::Create("Empty", "App", false)->Start());
  TestLogWriterPtr w1(new TestLogWriter());
  LoggerPtr disabled = Logger::Create("Disabled", "App", false);
  ASSERT_TRUE(disabled->AddWriter(w1.Ptr()));
  ASSERT_TRUE(disabled->SetEnabled(false));
  EXPECT_FALSE(disabled->Start());
  TestLogWriterPtr w2(new TestLogWriter());
  w2->SetInitResult(false);
  LoggerPtr failing = Make("Failing", {w2.Ptr()});
  EXPECT_FALSE(failing->Start());
  EXPECT_FALSE(failing->IsStarted());
  EXPECT_EQ(LOGGER_LOG_ALWAYS, Logger::s_defaultLoggerLogLevel);
  Logger::Log("@F", LOGGER_LOG_ALWAYS, "nothing");
  EXPECT_EQ(0u, w2->Count());

  EXPECT_EQ(nullptr, Logger::Create("Failing", "Other", true).Ptr());
  EXPECT_EQ(nullptr, Logger::Create("", "App", false).Ptr());
  EXPECT_EQ(failing.Ptr(), Logger::GetDefault().Ptr());
  EXPECT_EQ(failing.Ptr(), Logger::Get("Failing").Ptr());
  EXPECT_TRUE(Logger::Exists("Failing"));
  EXPECT_FALSE(Logger::Exists("Nope"));
  Logger::ShutDown();
  EXPECT_EQ(nullptr, Logger::GetDefault().Ptr());
  EXPECT_FALSE(Logger::Exists("Failing"));
}
