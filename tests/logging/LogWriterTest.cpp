// Every writer's queue (the drain on the logging poll thread, batch mode, dropped lines,
// header and footer, flushing at shut-down) and the writers besides the rolling file and the
// standard streams: the proxy callback, and RFC 5424 syslog datagrams read by a UDP socket.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <regex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "logging/LogMessage.h"
#include "logging/ProxyWriter.h"
#include "runtime/QrThread.h"
#include "support/ScopedTestLogger.h"
#include "support/UdpReceiver.h"

namespace {

// A default logger of the application with writers made by type; shut down after each test.
class WriterTest : public ::testing::Test {
 protected:
  void SetUp() override { ScopedTestLogger::SettlePollThread(); }
  void TearDown() override { Logger::ShutDown(); }
  RCPtr<LogWriter> MakeLogger(LogWriterType type, const std::string& appName = "App") {
    m_logger = Logger::Create("FamilyLogger", appName, true);
    return m_logger->CreateWriter(type);
  }
  LoggerPtr m_logger;
};

// A default logger at info level (below the poll thread's own item lines) with one
// buffered recording writer whose drain never runs unless a test shortens its interval.
class BufferedWriterTest : public WriterTest {
 protected:
  void SetUp() override {
    WriterTest::SetUp();
    m_logger = Logger::Create("Buffered", "App", true);
    m_writer = new TestLogWriter();
    m_writer->SetBufferingEnabled(true);
    m_writer->SetSyncInterval(600000);
    ASSERT_TRUE(m_logger->AddWriter(m_writer.Ptr()));
  }
  void Start() {
    ASSERT_TRUE(m_logger->Start());
    m_writer->FlushMessages();
    m_writer->Clear();
  }
  TestLogWriterPtr m_writer;
};

// Logs "<stem><i>" for i in [from, to).
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
  ASSERT_EQ(1u, m_writer->Count());
  EXPECT_EQ("\n***** BATCH MODE ENABLED *****\n\n", m_writer->Lines()[0]);
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
  std::vector<std::string> lines = m_writer->Lines();
  ASSERT_EQ(2u, lines.size());
  EXPECT_EQ("accepted", TestLogWriter::StripPrefix(lines[0]));
  EXPECT_EQ("\n******* Dropped 3 messages *******\n\n", lines[1]);
  EXPECT_EQ(LOGGER_LOG_INFO, m_writer->Levels()[1]);
  Logger::Log("@F", LOGGER_LOG_INFO, "direct");
  EXPECT_EQ(3u, m_writer->Count());
  Logger::ShutDown();
  lines = framed->Lines();
  ASSERT_GE(lines.size(), 6u);  // header, four start-up lines, footer
  EXPECT_NE(std::string::npos, lines.front().find("] A LogWriter::Init(): hello header\n"));
  EXPECT_NE(std::string::npos, lines.back().find("] A LogWriter::Close(): bye footer\n"));
}

TEST_F(BufferedWriterTest, ConcurrentSwitchesOffLeaveTheDrainToOneSwitchOn) {
  Start();
  // A drain pass held inside its write keeps both switches waiting on it, so both have
  // seen the writer enabled before either acts.
  std::atomic<bool> release{false};
  std::atomic<bool> blocked{false};
  m_writer->SetOnWrite([&](const std::string& line) {
    if (line.find("hold") != std::string::npos) {
      blocked = true;
      while (!release) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    }
  });
  Logger::Log("@F", LOGGER_LOG_INFO, "hold");
  m_writer->SetSyncInterval(1);
  for (int i = 0; i < 10000 && !blocked; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_TRUE(blocked);
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

std::vector<std::string> gProxyCalls;  // "<function>|<level>|<text>"

void RecordProxyCall(const char* funcName, Level level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  char text[2048];
  vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  gProxyCalls.push_back(std::string(funcName) + "|" + std::to_string(level) + "|" + text);
}

}  // namespace

TEST_F(WriterTest, ProxyHandsTheCallbackTheFullFunctionTextLevelAndMessage) {
  gProxyCalls.clear();
  RCPtr<LogWriter> writer = MakeLogger(LOG_WRITER_PROXY);
  auto* proxy = static_cast<ProxyWriter*>(writer.Ptr());
  EXPECT_FALSE(proxy->WriteMessage(new LogMessage("x", 1, LOGGER_LOG_INFO)));  // no callback
  proxy->SetProxyFunc(&RecordProxyCall);
  ASSERT_TRUE(m_logger->Start());
  gProxyCalls.clear();
  Logger::Log("int Space::Caller(char) const", LOGGER_LOG_DEBUG, "hello %s", "proxy");
  EXPECT_EQ(0u, gProxyCalls.size());  // the logger is at info
  Logger::Log("int Space::Caller(char) const", LOGGER_LOG_WARN, "hello %s", "proxy");
  EXPECT_TRUE(proxy->WriteMessage(new LogMessage("  \tno marker", 12, LOGGER_LOG_ERROR)));
  EXPECT_FALSE(proxy->WriteMessage(new LogMessage("@PROXY/3no slash", 16, LOGGER_LOG_INFO)));
  EXPECT_FALSE(proxy->WriteMessage(new LogMessage("@PROXY/9f/level", 15, LOGGER_LOG_INFO)));
  EXPECT_FALSE(proxy->WriteMessage(new LogMessage("@PROXY/", 7, LOGGER_LOG_INFO)));
  EXPECT_EQ((std::vector<std::string>{"int Space::Caller(char) const|" +
                                          std::to_string(LOGGER_LOG_WARN) + "|hello proxy\n",
                                      "|" + std::to_string(LOGGER_LOG_ALWAYS) + "|no marker\n"}),
            gProxyCalls);
  Logger::ShutDown();  // OnClose drops the callback
  EXPECT_FALSE(proxy->WriteMessage(new LogMessage("@PROXY/3f/after", 15, LOGGER_LOG_INFO)));
}

// Options hold only until start; a datagram carries the RFC 5424 header, with "-" for a
// missing application name. (That a writer ahead in type order builds the line a datagram
// carries is pinned end to end, against the plug-in's log file.)
TEST_F(WriterTest, SyslogOptionsAndDatagrams) {
  for (auto [appName, expectedApp] :
       {std::pair<const char*, const char*>{"SyslogApp", "SyslogApp"}, {"", "-"}}) {
    SCOPED_TRACE(expectedApp);
    UdpReceiver receiver;
    RCPtr<LogWriter> writer = MakeLogger(LOG_WRITER_SOCKET, appName);
    EXPECT_TRUE(writer->IsBufferingEnabled());
    auto option = [&](const char* name) {
      std::string value;
      return writer->GetCustomOption(name, value) ? value : "-";
    };
    EXPECT_EQ("514", option("remotePort"));
    EXPECT_EQ("localhost", option("REMOTEADDRESS"));
    EXPECT_TRUE(writer->SetCustomOption("RemotePort", "0x10202"));  // 16 bits of it
    EXPECT_EQ("514", option("remotePort"));
    EXPECT_FALSE(writer->SetCustomOption("remotePort", "port"));
    EXPECT_FALSE(writer->SetCustomOption("remoteAddress", ""));
    EXPECT_FALSE(writer->SetCustomOption("other", "1"));
    ASSERT_TRUE(writer->SetCustomOption("remoteAddress", "127.0.0.1"));
    ASSERT_TRUE(writer->SetCustomOption("remotePort", std::to_string(receiver.Port())));
    ASSERT_TRUE(m_logger->Start());
    EXPECT_FALSE(writer->SetCustomOption("remotePort", "515"));
    EXPECT_FALSE(writer->SetCustomOption("remoteAddress", "localhost"));
    Logger::Log("@Caller", LOGGER_LOG_ERROR, "datagram %s", "text");
    writer->FlushMessages();
    ASSERT_TRUE(receiver.WaitFor("datagram text", 5000));
    char host[256] = {};
    gethostname(host, sizeof(host) - 1);
    std::string pattern = "<1>1 \\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z " +
                          std::string(host).substr(0, 64) + " " + expectedApp +
                          " - - datagram text\\n";
    EXPECT_TRUE(std::regex_match(receiver.Datagrams().back(), std::regex(pattern)))
        << receiver.Datagrams().back();
    Logger::ShutDown();
  }
}
