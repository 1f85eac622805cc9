// The rolling file writer against a private TMPDIR: file names, rolling and its
// deletions, retention passes, disk-space suspension, and what is on disk after
// shut-down.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/time.h>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "logging/FileWriter.h"
#include "logging/Logger.h"
#include "support/ScopedTestLogger.h"

namespace {

const int64_t kMB = 1048576;
std::atomic<int64_t> gFreeBytes{int64_t(100000) * kMB};

bool FakeFreeSpace(const std::string& /*path*/, int64_t* freeBytes) {
  *freeBytes = gFreeBytes.load();
  return true;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void Touch(const std::string& path, int daysOld) {
  std::ofstream(path) << "old\n";
  struct timeval times[2];
  gettimeofday(&times[0], nullptr);
  times[0].tv_sec -= static_cast<time_t>(daysOld) * 86400;
  times[1] = times[0];
  ASSERT_EQ(0, utimes(path.c_str(), times));
}

class FileWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/logtest-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(pattern));
    m_tmp = pattern;
    setenv("TMPDIR", m_tmp.c_str(), 1);
    setenv("USER", "tester", 1);
    m_dir = m_tmp + "/quorin-tester";
    m_pid = std::to_string(getpid());
    gFreeBytes = int64_t(100000) * kMB;
    FileWriter::SetDiskFreeSpaceQueryForTesting(&FakeFreeSpace);
  }
  void TearDown() override {
    Logger::ShutDown();
    FileWriter::SetDiskFreeSpaceQueryForTesting(nullptr);
    std::error_code ignored;
    std::filesystem::remove_all(m_tmp, ignored);
  }

  // A default logger named after the application, with a file writer.
  FileWriter* MakeLogger(Level level, const std::string& app = "App") {
    // The logging poll thread's own start-up lines must not land between a test's lines.
    ScopedTestLogger::SettlePollThread();
    m_logger = Logger::Create(app + "Logger", app, true);
    m_logger->SetLevel(level);
    m_writerRef = m_logger->CreateWriter(LOG_WRITER_FILE);
    return static_cast<FileWriter*>(m_writerRef.Ptr());
  }

  std::string Path(const std::string& name) const { return m_dir + "/" + name; }
  bool Exists(const std::string& name) const { return access(Path(name).c_str(), F_OK) == 0; }
  std::string Name(const std::string& info, const std::string& app = "App") const {
    return "quorin-" + app + "-" + info + ".log";
  }

  std::string m_tmp;
  std::string m_dir;
  std::string m_pid;
  LoggerPtr m_logger;
  RCPtr<LogWriter> m_writerRef;
};

}  // namespace

TEST_F(FileWriterTest, NamesCarryProcessIdAndCounterByLevel) {
  FileWriter* writer = MakeLogger(LOGGER_LOG_INFO);
  ASSERT_NE(nullptr, writer);
  EXPECT_EQ(Name(m_pid), writer->GetFilename(1));
  EXPECT_EQ(Name(m_pid + "(2)"), writer->GetFilename(2));
  EXPECT_EQ(Name("*"), writer->GetFilePattern());
  ASSERT_TRUE(m_logger->SetLevel(LOGGER_LOG_DEBUG));
  EXPECT_EQ(Name(m_pid + "(1)"), writer->GetFilename(1));
  ASSERT_TRUE(writer->SetCustomOption("MAXROLLINGFILES", "0"));
  EXPECT_EQ(Name(m_pid + "(0001)"), writer->GetFilename(1));
  EXPECT_EQ(Name(m_pid + "(0012)"), writer->GetFilename(12));
  ASSERT_TRUE(writer->SetCustomOption("filename", "Other"));
  EXPECT_EQ(Name("*", "Other"), writer->GetFilePattern());

  RCPtr<FileWriter> orphan(new FileWriter());
  EXPECT_EQ(Name(m_pid, "default"), orphan->GetFilename(1));
}

TEST_F(FileWriterTest, SizeLimitFollowsLevelUnlessSetAndIsCapped) {
  FileWriter* writer = MakeLogger(LOGGER_LOG_INFO);
  std::string value;
  ASSERT_TRUE(writer->GetCustomOption("maxFileSizeMB", value));
  EXPECT_EQ("4294967295", value);
  EXPECT_EQ(15u, writer->GetFileMaxSizeMB());
  const std::pair<Level, uint32_t> byLevel[] = {{LOGGER_LOG_DEBUG, 50},
                                                {LOGGER_LOG_TRACE, 75},
                                                {LOGGER_LOG_VERBOSE, 99},
                                                {LOGGER_LOG_ERROR, 15}};
  for (const auto& entry : byLevel) {
    ASSERT_TRUE(m_logger->SetLevel(entry.first));
    EXPECT_EQ(entry.second, writer->GetFileMaxSizeMB());
  }
  ASSERT_TRUE(writer->SetCustomOption("maxFileSizeMB", "5000"));
  EXPECT_EQ(1024u, writer->GetFileMaxSizeMB());
  ASSERT_TRUE(writer->SetCustomOption("maxFileSizeMB", "0x10"));
  EXPECT_EQ(16u, writer->GetFileMaxSizeMB());
  ASSERT_TRUE(writer->SetCustomOption("maxRollingFiles", "5000"));
  ASSERT_TRUE(writer->GetCustomOption("maxRollingFiles", value));
  EXPECT_EQ("1000", value);
  EXPECT_FALSE(writer->SetCustomOption("maxDaysKept", "seven"));
  EXPECT_FALSE(writer->SetCustomOption("noSuchOption", "1"));
  EXPECT_FALSE(writer->SetCustomOption("maxDaysKept", ""));
}

TEST_F(FileWriterTest, EveryLineIsOnDiskAfterShutDown) {
  FileWriter* writer = MakeLogger(LOGGER_LOG_INFO);
  ASSERT_TRUE(writer->SetMaxBufferSize(500000));
  ASSERT_TRUE(m_logger->Start());
  for (int i = 0; i < 300; ++i) {
    QR_LOG(LOGGER_LOG_INFO, "line %03d\n", i);
  }
  QR_LOG(LOGGER_LOG_DEBUG, "filtered\n");
  Logger::ShutDown();
  std::string text = ReadFile(Path(Name(m_pid)));
  EXPECT_NE(std::string::npos, text.find("] A OS Version: "));
  size_t last = 0;
  for (int i = 0; i < 300; ++i) {
    char expected[64];
    std::snprintf(expected, sizeof(expected), "TestBody(): line %03d\n", i);
    size_t at = text.find(expected);
    ASSERT_NE(std::string::npos, at) << expected;
    ASSERT_GT(at, last);
    last = at;
  }
  EXPECT_EQ(std::string::npos, text.find("filtered"));
  struct stat info;
  ASSERT_EQ(0, stat(Path(Name(m_pid)).c_str(), &info));
  EXPECT_EQ(0640u, info.st_mode & 0777);
}

TEST_F(FileWriterTest, ReopenedFileGetsTheNewSessionBanner) {
  MakeLogger(LOGGER_LOG_INFO);
  ASSERT_TRUE(m_logger->Start());
  QR_LOG(LOGGER_LOG_INFO, "first session\n");
  Logger::ShutDown();
  MakeLogger(LOGGER_LOG_INFO);
  ASSERT_TRUE(m_logger->Start());
  QR_LOG(LOGGER_LOG_INFO, "second session\n");
  Logger::ShutDown();
  std::string text = ReadFile(Path(Name(m_pid)));
  const std::string banner =
      "\n"
      "******************************************************************************\n"
      "************************   NEW LOG SESSION STARTING   ************************\n"
      "******************************************************************************\n"
      "\n";
  size_t first = text.find("first session");
  size_t at = text.find(banner);
  size_t second = text.find("second session");
  ASSERT_NE(std::string::npos, at);
  EXPECT_LT(first, at);
  EXPECT_LT(at, second);
  EXPECT_EQ(at, text.rfind(banner));
}

TEST_F(FileWriterTest, RollingKeepsTheFirstAndTheFourNewestFiles) {
  FileWriter* writer = MakeLogger(LOGGER_LOG_INFO);
  ASSERT_TRUE(writer->SetCustomOption("maxFileSizeMB", "1"));
  ASSERT_TRUE(writer->SetCustomOption("maxDaysKept", "0"));
  ASSERT_TRUE(writer->SetBufferingEnabled(false));  // a roll check after every line
  ASSERT_TRUE(m_logger->Start());
  const std::string sixth = Name(m_pid + "(6)");
  std::string filler(1000, 'f');
  std::string current;
  for (int i = 0; i < 20000 && current != sixth; ++i) {
    QR_LOG(LOGGER_LOG_INFO, "%s\n", filler.c_str());
    writer->GetCustomOption("filename", current);
  }
  ASSERT_EQ(sixth, current);
  EXPECT_TRUE(Exists(Name(m_pid)));
  EXPECT_FALSE(Exists(Name(m_pid + "(2)")));
  for (const char* n : {"(3)", "(4)", "(5)", "(6)"}) {
    EXPECT_TRUE(Exists(Name(m_pid + n))) << n;
  }
  struct stat info;
  ASSERT_EQ(0, stat(Path(Name(m_pid + "(3)")).c_str(), &info));
  EXPECT_GE(info.st_size, kMB);
}

TEST_F(FileWriterTest, UnlimitedRollingUsesFourDigitCountersAndDeletesNothing) {
  FileWriter* writer = MakeLogger(LOGGER_LOG_INFO);
  ASSERT_TRUE(writer->SetCustomOption("maxRollingFiles", "0"));
  ASSERT_TRUE(writer->SetCustomOption("maxDaysKept", "0"));
  ASSERT_TRUE(m_logger->Start());
  for (int i = 0; i < 5; ++i) {
    writer->RollLogFile();
  }
  for (const char* n : {"(0001)", "(0002)", "(0003)", "(0004)", "(0005)", "(0006)"}) {
    EXPECT_TRUE(Exists(Name(m_pid + n))) << n;
  }
}

TEST_F(FileWriterTest, ZeroSizeLimitNeverRolls) {
  FileWriter* writer = MakeLogger(LOGGER_LOG_INFO);
  ASSERT_TRUE(writer->SetCustomOption("maxFileSizeMB", "0"));
  ASSERT_TRUE(m_logger->Start());
  EXPECT_FALSE(writer->TimeToRollLogFile());
}

TEST_F(FileWriterTest, RetentionDeletesTwentyExpiredFilesPerPass) {
  ScopedTestLogger log(LOGGER_LOG_INFO);
  std::filesystem::create_directories(m_dir);
  for (int i = 1; i <= 45; ++i) {
    Touch(Path(Name("99(" + std::to_string(i) + ")")), 8);
  }
  Touch(Path(Name("98")), 6);  // not old enough
  Touch(Path(Name("97")), 0);
  Touch(Path("quorin-Another-1.log"), 30);  // another application's
  RCPtr<FileWriter> writer(new FileWriter());
  ASSERT_TRUE(writer->SetCustomOption("folderPath", m_dir));
  ASSERT_TRUE(writer->SetCustomOption("filename", "App"));
  auto countOld = [&] {
    int count = 0;
    for (int i = 1; i <= 45; ++i) {
      count += Exists(Name("99(" + std::to_string(i) + ")")) ? 1 : 0;
    }
    return count;
  };
  EXPECT_TRUE(writer->DeleteOldLogFiles());
  EXPECT_EQ(25, countOld());
  EXPECT_TRUE(writer->DeleteOldLogFiles());
  EXPECT_EQ(5, countOld());
  EXPECT_FALSE(writer->DeleteOldLogFiles());
  EXPECT_EQ(0, countOld());
  EXPECT_TRUE(Exists(Name("98")));
  EXPECT_TRUE(Exists(Name("97")));
  EXPECT_TRUE(Exists("quorin-Another-1.log"));
  EXPECT_EQ(45, log.Writer()->CountContaining("Deleted \"" + m_dir + "/quorin-App-99("));
  EXPECT_TRUE(
      log.Writer()->HasMessage("Deleting \"" + m_dir + "/quorin-App-*.log\" older than 7 days"));
  ASSERT_TRUE(writer->SetCustomOption("maxDaysKept", "0"));
  EXPECT_FALSE(writer->DeleteOldLogFiles());
}

TEST_F(FileWriterTest, RetentionPassesRunOneSecondApartThenEveryFourHours) {
  std::filesystem::create_directories(m_dir);
  for (int i = 1; i <= 45; ++i) {
    Touch(Path(Name("99(" + std::to_string(i) + ")")), 8);
  }
  MakeLogger(LOGGER_LOG_INFO);
  auto remaining = [&] {
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(m_dir)) {
      count += entry.path().filename().string().rfind("quorin-App-99(", 0) == 0 ? 1 : 0;
    }
    return count;
  };
  auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(m_logger->Start());
  while (remaining() > 0 && std::chrono::steady_clock::now() - start < std::chrono::seconds(20)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  auto elapsed = std::chrono::steady_clock::now() - start;
  ASSERT_EQ(0, remaining());
  EXPECT_GE(elapsed, std::chrono::milliseconds(1800));  // passes at 0 s, 1 s and 2 s
  Touch(Path(Name("99(46)")), 8);
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  EXPECT_EQ(1, remaining());  // the next pass is hours away
}

TEST_F(FileWriterTest, LowDiskSuspendsAllButErrorsUntilTheHighThreshold) {
  FileWriter* writer = MakeLogger(LOGGER_LOG_INFO);
  ASSERT_TRUE(writer->SetCustomOption("maxDaysKept", "0"));
  ASSERT_TRUE(writer->SetBufferingEnabled(false));  // a disk check after every line
  ASSERT_TRUE(m_logger->Start());
  gFreeBytes = 150 * kMB;
  QR_LOG(LOGGER_LOG_INFO, "msg-b\n");  // written, then the check suspends
  EXPECT_TRUE(writer->IsSuspended());
  QR_LOG(LOGGER_LOG_WARN, "msg-c\n");
  QR_LOG(LOGGER_LOG_ERROR, "msg-d\n");
  gFreeBytes = 300 * kMB;
  QR_LOG(LOGGER_LOG_INFO, "msg-e\n");
  EXPECT_TRUE(writer->IsSuspended());
  gFreeBytes = 500 * kMB;
  QR_LOG(LOGGER_LOG_INFO, "msg-f\n");  // dropped, then the check resumes
  EXPECT_FALSE(writer->IsSuspended());
  QR_LOG(LOGGER_LOG_INFO, "msg-g\n");
  Logger::ShutDown();
  std::string text = ReadFile(Path(Name(m_pid)));
  for (const char* dropped : {"msg-c", "msg-e", "msg-f"}) {
    EXPECT_EQ(std::string::npos, text.find(dropped)) << dropped;
  }
  std::smatch match;
  ASSERT_TRUE(std::regex_search(
      text, match,
      std::regex("msg-b\\n\\n\\d{4}-\\d{2}-\\d{2} [0-9:.]{12} <[0-9A-F]{8,}> \\[[0-9A-F]{4,}\\] "
                 "\\*\\*\\*\\*\\*\\*\\* Free disk space is 150\\.0MB - Logging suspended "
                 "\\*\\*\\*\\*\\*\\*\\*\\n[^\\n]*msg-d\\n[^\\n]*\\] "
                 "\\*\\*\\*\\*\\*\\*\\* Free disk space is 500\\.0MB - Logging resumed after "
                 "[^\\n]+ \\*\\*\\*\\*\\*\\*\\*\\n\\n[^\\n]*msg-g\\n")))
      << text;
}

TEST_F(FileWriterTest, LoweringTheLowThresholdWhileSuspendedResumesAtTheNextCheck) {
  FileWriter* writer = MakeLogger(LOGGER_LOG_INFO);
  ASSERT_TRUE(writer->SetCustomOption("maxDaysKept", "0"));
  ASSERT_TRUE(writer->SetBufferingEnabled(false));
  ASSERT_TRUE(m_logger->Start());
  gFreeBytes = 150 * kMB;
  QR_LOG(LOGGER_LOG_INFO, "suspend\n");
  ASSERT_TRUE(writer->IsSuspended());
  ASSERT_TRUE(writer->SetCustomOption("diskThresholdLowMB", "100"));
  QR_LOG(LOGGER_LOG_INFO, "check\n");
  EXPECT_FALSE(writer->IsSuspended());
  QR_LOG(LOGGER_LOG_INFO, "kept\n");
  Logger::ShutDown();
  std::string text = ReadFile(Path(Name(m_pid)));
  EXPECT_NE(std::string::npos, text.find("kept\n"));
  EXPECT_EQ(std::string::npos, text.find("check\n"));
}

// The per-user folder lies in a world-writable folder: whatever another local user planted
// there (a link for the folder or the file, a folder or file of theirs) is refused, the
// writer stays closed, and nothing the plant points at is touched.
TEST_F(FileWriterTest, PlantedFoldersAndFilesAreRefusedAndLeftUntouched) {
  const uid_t kNobody = 65534;
  const std::string victim = m_tmp + "/victim";
  const std::string elsewhere = m_tmp + "/elsewhere";
  const std::string logFile = Path(Name(m_pid));
  const struct {
    const char* what;
    bool needsRoot;
    std::function<int()> plant;
  } cases[] = {
      {"folder is a link to another folder", false,
       [&] { return symlink(elsewhere.c_str(), m_dir.c_str()); }},
      {"folder belongs to another user", true,
       [&] {
         return mkdir(m_dir.c_str(), 0777) | chmod(m_dir.c_str(), 0777) |
                chown(m_dir.c_str(), kNobody, kNobody);
       }},
      {"log file is a link to another file", false,
       [&] { return mkdir(m_dir.c_str(), 0777) | symlink(victim.c_str(), logFile.c_str()); }},
      {"log file is a link to a missing file", false,
       [&] {
         return mkdir(m_dir.c_str(), 0777) |
                symlink((elsewhere + "/made").c_str(), logFile.c_str());
       }},
      {"log file is another name of another file", false,
       [&] { return mkdir(m_dir.c_str(), 0777) | link(victim.c_str(), logFile.c_str()); }},
      {"log file belongs to another user", true,
       [&] {
         return mkdir(m_dir.c_str(), 0777) | (std::ofstream(logFile) << "theirs\n" ? 0 : -1) |
                chown(logFile.c_str(), kNobody, kNobody);
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.needsRoot && geteuid() != 0) {
      std::printf("skipped \"%s\": giving a file to another user needs root\n", c.what);
      continue;
    }
    std::filesystem::remove_all(m_dir);
    std::filesystem::remove_all(elsewhere);
    std::filesystem::create_directory(elsewhere);
    std::ofstream(victim, std::ios::trunc) << "secret\n";
    ASSERT_EQ(0, chmod(victim.c_str(), 0600));
    ASSERT_EQ(0, c.plant());
    struct stat info;
    // The plant itself: the log file's name when it was planted, else the folder.
    const std::string planted = lstat(logFile.c_str(), &info) == 0 ? logFile : m_dir;
    struct stat before;
    ASSERT_EQ(0, lstat(planted.c_str(), &before));
    const std::string plantedText = ReadFile(logFile);

    MakeLogger(LOGGER_LOG_INFO);
    EXPECT_FALSE(m_logger->Start());
    QR_LOG(LOGGER_LOG_ERROR, "must not land anywhere\n");
    Logger::ShutDown();

    EXPECT_EQ("secret\n", ReadFile(victim));
    ASSERT_EQ(0, stat(victim.c_str(), &info));
    EXPECT_EQ(0600u, info.st_mode & 07777);
    EXPECT_TRUE(std::filesystem::is_empty(elsewhere));
    EXPECT_EQ(plantedText, ReadFile(logFile));
    struct stat after;
    ASSERT_EQ(0, lstat(planted.c_str(), &after));
    EXPECT_EQ(before.st_mode, after.st_mode);
    EXPECT_EQ(before.st_uid, after.st_uid);
  }
}

// Retention removes only regular files of this user: a link (even to an expired file of
// the same pattern) and another user's file stay.
TEST_F(FileWriterTest, RetentionLeavesLinksAndOtherUsersFilesAlone) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "giving a file to another user needs root";
  }
  std::filesystem::create_directories(m_dir);
  Touch(Path(Name("99")), 8);
  Touch(Path(Name("98")), 8);
  ASSERT_EQ(0, chown(Path(Name("98")).c_str(), 65534, 65534));
  Touch(m_tmp + "/victim", 8);
  ASSERT_EQ(0, symlink((m_tmp + "/victim").c_str(), Path(Name("97")).c_str()));
  struct timeval old[2] = {{time(nullptr) - 8 * 86400, 0}, {time(nullptr) - 8 * 86400, 0}};
  ASSERT_EQ(0, lutimes(Path(Name("97")).c_str(), old));
  RCPtr<FileWriter> writer(new FileWriter());
  ASSERT_TRUE(writer->SetCustomOption("folderPath", m_dir));
  ASSERT_TRUE(writer->SetCustomOption("filename", "App"));
  EXPECT_FALSE(writer->DeleteOldLogFiles());
  EXPECT_FALSE(Exists(Name("99")));
  EXPECT_TRUE(Exists(Name("98")));
  EXPECT_TRUE(Exists(Name("97")));
  EXPECT_EQ("old\n", ReadFile(m_tmp + "/victim"));
}

TEST_F(FileWriterTest, InitFailsWhenTheLogDirectoryCannotBeCreated) {
  setenv("TMPDIR", (m_tmp + "/missing/deeper").c_str(), 1);
  MakeLogger(LOGGER_LOG_INFO);
  EXPECT_FALSE(m_logger->Start());
  EXPECT_EQ(LOGGER_LOG_ALWAYS, Logger::s_defaultLoggerLogLevel);
}

// Many threads log into the buffered file writer while the drain runs every few
// milliseconds and rolls at 1 MB, and another thread rolls and flushes by hand: every
// line reaches exactly one file (run under TSan for the races).
TEST_F(FileWriterTest, ManyThreadsIntoTheBufferedWriterLoseNoLine) {
  FileWriter* writer = MakeLogger(LOGGER_LOG_INFO);
  ASSERT_TRUE(writer->SetCustomOption("maxFileSizeMB", "1"));
  ASSERT_TRUE(writer->SetCustomOption("maxRollingFiles", "0"));  // keeps every file
  ASSERT_TRUE(writer->SetCustomOption("maxDaysKept", "0"));
  ASSERT_TRUE(writer->SetSyncInterval(2));
  ASSERT_TRUE(writer->SetMaxBufferSize(500000));  // as the plug-in: no batch mode
  ASSERT_TRUE(m_logger->Start());
  const int kThreads = 6;
  const int kLines = 4000;
  const std::string filler(100, 'x');
  std::atomic<int> running{kThreads};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kLines; ++i) {
        QR_LOG(LOGGER_LOG_INFO, "line t%d-%d %s\n", t, i, filler.c_str());
      }
      --running;
    });
  }
  for (int round = 0; running > 0; ++round) {
    if (round % 2 == 0) {
      writer->RollLogFile();
    } else {
      writer->FlushMessages();
    }
    std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  Logger::ShutDown();

  std::vector<int> seen(kThreads * kLines, 0);
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(m_dir)) {
    ++files;
    std::ifstream in(entry.path());
    for (std::string line; std::getline(in, line);) {
      int t = 0;
      int i = 0;
      size_t at = line.find("line t");
      if (at != std::string::npos && std::sscanf(line.c_str() + at, "line t%d-%d", &t, &i) == 2) {
        ++seen[static_cast<size_t>(t * kLines + i)];
      }
    }
  }
  EXPECT_GT(files, 2);
  for (size_t n = 0; n < seen.size(); ++n) {
    ASSERT_EQ(1, seen[n]) << "line t" << n / kLines << "-" << n % kLines;
  }
}
