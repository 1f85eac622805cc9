// Queueing behaviour shared by all writers: the drain on the logging poll thread, batch
// mode, dropped-message accounting, header and footer, flushing at shut-down.
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "logging/LogWriter.h"
#include "logging/Logger.h"
#include "runtime/QrThread.h"
#include "support/ScopedTestLogger.h"
#include "support/TestLogWriter.h"

namespace {

// A default logger at info level (below the poll thread's own item lines) with one
// buffered recording writer.
class BufferedWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ScopedTestLogger::SettlePollThread();
    m_logger = Logger::Create("Buffered", "App", true);
    m_writer = new TestLogWriter();
    m_writer->SetBufferingEnabled(true);
    m_writer->SetSyncInterval(600000);  // the drain never runs unless a test shortens it
    ASSERT_TRUE(m_logger->AddWriter(m_writer.Ptr()));
  }
  void TearDown() override { Logger::ShutDown(); }

  void Start() {
    ASSERT_TRUE(m_logger->Start());
    m_writer->FlushMessages();
    m_writer->Clear();
  }

  LoggerPtr m_logger;
  TestLogWriterPtr m_writer;
};

bool WaitForCount(TestLogWriter* writer, size_t count) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (writer->Count() < count && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return writer->Count() >= count;
}

}  // namespace

TEST_F(BufferedWriterTest, QueuedLinesWaitForFlushOrShutDownInOrder) {
  Start();
  for (int i = 0; i < 5; ++i) {
    Logger::Log("@F", LOGGER_LOG_INFO, "line %d", i);
  }
  EXPECT_EQ(0u, m_writer->Count());
  m_writer->FlushMessages();
  EXPECT_EQ((std::vector<std::string>{"line 0", "line 1", "line 2", "line 3", "line 4"}),
            m_writer->Messages());
  for (int i = 0; i < 50; ++i) {
    Logger::Log("@F", LOGGER_LOG_INFO, "q%d", i);
  }
  Logger::ShutDown();
  std::vector<std::string> queued = m_writer->MessagesContaining("q");
  ASSERT_EQ(50u, queued.size());
  EXPECT_EQ("q0", queued.front());
  EXPECT_EQ("q49", queued.back());
}

// The drain writes on the poll thread: early for every full batch of 4096 lines, else
// every sync interval.
TEST_F(BufferedWriterTest, DrainWritesFromThePollThreadEveryIntervalOrFullBatch) {
  Start();  // the interval is ten minutes
  std::atomic<QrThreadID> writerThread{0};
  m_writer->SetOnWrite([&](const std::string& line) {
    if (line.find("again") != std::string::npos) {
      writerThread = QrThread::GetCurrentThreadID();
    }
  });
  for (int i = 0; i < 4096 + 5; ++i) {
    Logger::Log("@F", LOGGER_LOG_INFO, "burst %d", i);
  }
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
  for (int i = 0; i < 9; ++i) {
    Logger::Log("@F", LOGGER_LOG_INFO, "m%d", i);
  }
  EXPECT_EQ(0u, m_writer->Count());
  EXPECT_FALSE(m_writer->IsBatchModeEnabled());
  Logger::Log("@F", LOGGER_LOG_INFO, "m9");  // the tenth queued message
  EXPECT_TRUE(m_writer->IsBatchModeEnabled());
  ASSERT_EQ(1u, m_writer->Count());
  EXPECT_EQ("\n***** BATCH MODE ENABLED *****\n\n", m_writer->Lines()[0]);
  for (int i = 10; i < 99; ++i) {
    Logger::Log("@F", LOGGER_LOG_INFO, "m%d", i);
  }
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

// Lines refused while disabled are counted and reported after the next written line;
// switching buffering off writes the queue, then every line at once.
TEST_F(BufferedWriterTest, RefusedLinesAreReportedAndBufferingOffWritesTheQueue) {
  Start();
  ASSERT_TRUE(m_writer->SetEnabled(false));
  for (int i = 0; i < 3; ++i) {
    Logger::Log("@F", LOGGER_LOG_INFO, "refused %d", i);
  }
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
}

TEST_F(BufferedWriterTest, HeaderOnInitAndFooterOnCloseWithTheirFunctionTexts) {
  EXPECT_FALSE(m_writer->SetHeader(""));
  ASSERT_TRUE(m_writer->SetHeader("hello header"));
  ASSERT_TRUE(m_writer->SetFooter("bye footer"));
  ASSERT_TRUE(m_logger->Start());
  EXPECT_FALSE(m_writer->SetFooter("too late"));
  Logger::ShutDown();
  std::vector<std::string> lines = m_writer->Lines();
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
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!blocked && std::chrono::steady_clock::now() < deadline) {
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

// FlushMessages and SyncMessages from another thread while the drain runs every
// millisecond: each line is written exactly once, in order (and TSan sees no race).
TEST_F(BufferedWriterTest, FlushAndSyncAreSafeBesideTheDrain) {
  Start();
  m_writer->SetSyncInterval(1);
  const int kLines = 3000;
  std::atomic<bool> done{false};
  std::thread producer([&] {
    for (int i = 0; i < kLines; ++i) {
      Logger::Log("@F", LOGGER_LOG_INFO, "n%d", i);
    }
    done = true;
  });
  for (int round = 0; !done; ++round) {
    if (round % 2 == 0) {
      m_writer->FlushMessages();
    } else {
      m_writer->SyncMessages();
    }
  }
  producer.join();
  m_writer->FlushMessages();
  std::vector<std::string> lines = m_writer->MessagesContaining("n");
  ASSERT_EQ(static_cast<size_t>(kLines), lines.size());
  for (int i = 0; i < kLines; ++i) {
    ASSERT_EQ("n" + std::to_string(i), lines[static_cast<size_t>(i)]);
  }
}
