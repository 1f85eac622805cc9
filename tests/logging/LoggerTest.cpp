// The logger's dispatch, life cycle and registry; the writers' queue on the logging poll thread;
// the proxy callback and RFC 5424 syslog datagrams read by a UDP socket.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <regex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "logging/FunctionTrace.h"
#include "logging/LogMessage.h"
#include "logging/Logger.h"
#include "logging/ProxyWriter.h"
#include "runtime/QrThread.h"
#include "support/ScopedTestLogger.h"
#include "support/UdpReceiver.h"

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

  static LoggerPtr Make(const char* name, std::initializer_list<TestLogWriter*> writers,
                        const char* appName = "App") {
    LoggerPtr logger = Logger::Create(name, appName, true);
    for (TestLogWriter* writer : writers) {
      EXPECT_TRUE(logger->AddWriter(writer));
    }
    return logger;
  }
};

// A default info logger (above the poll thread's item lines); its writer drains in ten minutes.
class BufferedWriterTest : public QuietLogging {
 protected:
  void SetUp() override {
    QuietLogging::SetUp();
    m_writer = new TestLogWriter();
    m_writer->SetBufferingEnabled(true);
    m_writer->SetSyncInterval(600000);
    m_logger = Make("Buffered", {m_writer.Ptr()});
  }
  void Start() {
    ASSERT_TRUE(m_logger->Start());
    m_writer->FlushMessages();
    m_writer->Clear();
  }
  LoggerPtr m_logger;
  TestLogWriterPtr m_writer;
};

void LogSeries(const char* stem, int from, int to) {
  for (int i = from; i < to; ++i) {
    Logger::Log("@F", LOGGER_LOG_INFO, "%s%d", stem, i);
  }
}

bool WaitForCount(TestLogWriter* writer, size_t count) {
  for (int i = 0; i < 1000 && writer->Count() < count; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return writer->Count() >= count;
}

}  // namespace

using LoggerLine = QuietLogging;
using LoggerDispatch = QuietLogging;
using LoggerLifecycle = QuietLogging;
using WriterTest = QuietLogging;

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
  EXPECT_TRUE(std::regex_match(lines[1], std::regex(kSeparator + kLocalStamp + " .*two\\n")))
      << lines[1];
  EXPECT_FALSE(StartsWithSeparator(lines[2]));
  EXPECT_TRUE(StartsWithSeparator(lines[3]));
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

// (The start-up lines' texts are pinned end to end by the plug-in's log file.)
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
  Logger::Log("@F", LOGGER_LOG_ALWAYS, "after");
  EXPECT_FALSE(writer->HasMessage("after"));
  EXPECT_FALSE(writer->IsInitialized());

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

TEST_F(BufferedWriterTest, DrainWritesFromThePollThreadEveryIntervalOrFullBatch) {
  Start();  // the interval is ten minutes
  std::atomic<QrThreadID> writerThread{0};
  m_writer->SetOnWrite([&](const std::string& line) {
    if (line.find("again") != std::string::npos) {
      writerThread = QrThread::GetCurrentThreadID();
    }
  });
  LogSeries("burst ", 0, 4096 + 5);
  EXPECT_TRUE(WaitForCount(m_writer.Ptr(), 4096));
  EXPECT_EQ("burst 0", m_writer->Messages().front());
  m_writer->SetSyncInterval(20);
  EXPECT_TRUE(WaitForCount(m_writer.Ptr(), 4101));
  Logger::Log("@F", LOGGER_LOG_INFO, "again");
  EXPECT_TRUE(WaitForCount(m_writer.Ptr(), 4102));
  Logger::ShutDown();  // nothing may call the hook once writerThread is gone
  EXPECT_NE(0u, writerThread.load());
  EXPECT_NE(QrThread::GetCurrentThreadID(), writerThread.load());
}

TEST_F(BufferedWriterTest, BatchModeBannerOnceThenGroupsOfOneHundred) {
  ASSERT_TRUE(m_writer->SetMaxBufferSize(10));
  Start();  // four start-up lines queued: below the buffer size
  LogSeries("m", 0, 9);
  EXPECT_EQ(0u, m_writer->Count());
  EXPECT_FALSE(m_writer->IsBatchModeEnabled());
  Logger::Log("@F", LOGGER_LOG_INFO, "m9");  // the tenth queued message
  EXPECT_TRUE(m_writer->IsBatchModeEnabled());
  EXPECT_EQ(std::vector<std::string>{"\n***** BATCH MODE ENABLED *****\n\n"}, m_writer->Lines());
  LogSeries("m", 10, 99);
  EXPECT_EQ(1u, m_writer->Count());
  Logger::Log("@F", LOGGER_LOG_INFO, "m99");  // 100 queued: written at once, in order
  ASSERT_EQ(101u, m_writer->Count());
  EXPECT_EQ("m0", m_writer->Messages()[1]);
  EXPECT_EQ("m99", m_writer->Messages()[100]);
  // The periodic drain no longer runs.
  m_writer->SetSyncInterval(10);
  Logger::Log("@F", LOGGER_LOG_INFO, "m100");
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(101u, m_writer->Count());
}

TEST_F(BufferedWriterTest, RefusedLinesBufferingOffAndHeaderAndFooter) {
  TestLogWriterPtr framed(new TestLogWriter(LOG_WRITER_STDOUT));
  EXPECT_FALSE(framed->SetHeader(""));
  ASSERT_TRUE(framed->SetHeader("hello header"));
  ASSERT_TRUE(framed->SetFooter("bye footer"));
  ASSERT_TRUE(m_logger->AddWriter(framed.Ptr()));
  Start();
  EXPECT_FALSE(framed->SetHeader("too late"));
  EXPECT_FALSE(framed->SetFooter("too late"));
  ASSERT_TRUE(m_writer->SetEnabled(false));
  LogSeries("refused ", 0, 3);
  ASSERT_TRUE(m_writer->SetEnabled(true));
  EXPECT_EQ(0u, m_writer->Count());
  Logger::Log("@F", LOGGER_LOG_INFO, "accepted");
  ASSERT_TRUE(m_writer->SetBufferingEnabled(false));
  EXPECT_EQ((std::vector<std::string>{"accepted", "\n******* Dropped 3 messages *******\n"}),
            m_writer->Messages());  // the line less its last newline
  EXPECT_EQ(LOGGER_LOG_INFO, m_writer->Levels().at(1));
  Logger::Log("@F", LOGGER_LOG_INFO, "direct");
  EXPECT_EQ(3u, m_writer->Count());
  Logger::ShutDown();
  std::vector<std::string> lines = framed->Lines();
  ASSERT_GE(lines.size(), 6u);  // header, four start-up lines, footer
  EXPECT_NE(std::string::npos, lines.front().find("] A LogWriter::Init(): hello header\n"));
  EXPECT_NE(std::string::npos, lines.back().find("] A LogWriter::Close(): bye footer\n"));
}

TEST_F(BufferedWriterTest, ConcurrentSwitchesOffLeaveTheDrainToOneSwitchOn) {
  Start();
  // A drain pass held in its write keeps both switches waiting after each saw the writer on.
  std::atomic<bool> release{false};
  m_writer->SetOnWrite([&](const std::string& line) {
    while (line.find("hold") != std::string::npos && !release) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  Logger::Log("@F", LOGGER_LOG_INFO, "hold");
  m_writer->SetSyncInterval(1);
  ASSERT_TRUE(WaitForCount(m_writer.Ptr(), 1));  // recorded just before the hook holds
  m_writer->SetSyncInterval(600000);
  std::thread first([&] { m_writer->SetEnabled(false); });
  std::thread second([&] { m_writer->SetEnabled(false); });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  release = true;
  first.join();
  second.join();
  EXPECT_FALSE(m_writer->IsEnabled());

  ASSERT_TRUE(m_writer->SetEnabled(true));
  m_writer->SetSyncInterval(10);
  Logger::Log("@F", LOGGER_LOG_INFO, "drained again");
  EXPECT_TRUE(WaitForCount(m_writer.Ptr(), 2));
}

namespace {

std::vector<std::tuple<std::string, Level, std::string>> gProxyCalls;

void RecordProxyCall(const char* funcName, Level level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  char text[2048];
  vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  gProxyCalls.emplace_back(funcName, level, text);
}

}  // namespace

TEST_F(WriterTest, ProxyHandsTheCallbackTheFullFunctionTextLevelAndMessage) {
  LoggerPtr logger = Make("Proxied", {});
  RCPtr<LogWriter> writer = logger->CreateWriter(LOG_WRITER_PROXY);
  auto* proxy = static_cast<ProxyWriter*>(writer.Ptr());
  EXPECT_FALSE(proxy->WriteMessage(new LogMessage("x", 1, LOGGER_LOG_INFO)));  // no callback
  proxy->SetProxyFunc(&RecordProxyCall);
  ASSERT_TRUE(logger->Start());
  gProxyCalls.clear();
  Logger::Log("int Space::Caller(char) const", LOGGER_LOG_WARN, "hello %s", "proxy");
  EXPECT_TRUE(proxy->WriteMessage(new LogMessage("  \tno marker", 12, LOGGER_LOG_ERROR)));
  EXPECT_TRUE(proxy->WriteMessage(new LogMessage(nullptr, 0, LOGGER_LOG_ERROR)));
  EXPECT_FALSE(proxy->WriteMessage(new LogMessage("@PROXY/3no slash", 16, LOGGER_LOG_INFO)));
  EXPECT_FALSE(proxy->WriteMessage(new LogMessage("@PROXY/9f/level", 15, LOGGER_LOG_INFO)));
  EXPECT_FALSE(proxy->WriteMessage(new LogMessage("@PROXY/", 7, LOGGER_LOG_INFO)));
  EXPECT_EQ((decltype(gProxyCalls){
                {"int Space::Caller(char) const", LOGGER_LOG_WARN, "hello proxy\n"},
                {"", LOGGER_LOG_ALWAYS, "no marker\n"},
                {"", LOGGER_LOG_ALWAYS, "Failed to allocate memory for log message\n"}}),
            gProxyCalls);
  Logger::ShutDown();  // OnClose drops the callback
  EXPECT_FALSE(proxy->WriteMessage(new LogMessage("@PROXY/3f/after", 15, LOGGER_LOG_INFO)));
}

// Options hold only until start; "-" for a missing application name. (That a writer ahead in
// type order builds the datagram's line is pinned end to end, against the plug-in's log file.)
TEST_F(WriterTest, SyslogOptionsAndDatagrams) {
  for (auto [appName, expectedApp] :
       {std::pair<const char*, const char*>{"SyslogApp", "SyslogApp"}, {"", "-"}}) {
    SCOPED_TRACE(expectedApp);
    UdpReceiver receiver;
    LoggerPtr logger = Make("Syslog", {}, appName);
    RCPtr<LogWriter> writer = logger->CreateWriter(LOG_WRITER_SOCKET);
    EXPECT_TRUE(writer->IsBufferingEnabled());
    auto option = [&](const char* name) {
      std::string value;
      return writer->GetCustomOption(name, value) ? value : "-";
    };
    EXPECT_EQ("514", option("remotePort"));
    EXPECT_EQ("localhost", option("REMOTEADDRESS"));
    EXPECT_TRUE(writer->SetCustomOption("RemotePort", "0x10201"));  // 16 bits of it
    EXPECT_EQ("513", option("remotePort"));
    EXPECT_FALSE(writer->SetCustomOption("remotePort", "port"));
    EXPECT_FALSE(writer->SetCustomOption("remoteAddress", ""));
    EXPECT_FALSE(writer->SetCustomOption("other", "1"));
    ASSERT_TRUE(writer->SetCustomOption("remoteAddress", "127.0.0.1"));
    ASSERT_TRUE(writer->SetCustomOption("remotePort", std::to_string(receiver.Port())));
    ASSERT_TRUE(logger->Start());
    EXPECT_FALSE(writer->SetCustomOption("remotePort", "515"));
    Logger::Log("@Caller", LOGGER_LOG_ERROR, "datagram %s", "text");
    writer->FlushMessages();
    ASSERT_TRUE(receiver.WaitFor("datagram text", 5000));
    char host[256] = {};
    gethostname(host, sizeof(host) - 1);
    std::string pattern = "<1>1 " + std::string(kUtcStamp) + " " + std::string(host).substr(0, 64) +
                          " " + expectedApp + " - - datagram text\\n";
    EXPECT_TRUE(std::regex_match(receiver.Datagrams().back(), std::regex(pattern)))
        << receiver.Datagrams().back();
    Logger::ShutDown();
  }
}
