// The rolling file writer in a private TMPDIR, and the log configuration file (its watcher
// driven directly, not after a minute).
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <regex>
#include <set>
#include <sys/stat.h>
#include <sys/time.h>
#include <thread>

#include <gtest/gtest.h>

#include "logging/ConfigSettingsReader.h"
#include "logging/FileWriter.h"
#include "runtime/QrPollThread.h"
#include "support/FdCapture.h"
#include "support/ScopedTestLogger.h"

namespace {

namespace fs = std::filesystem;
const int64_t kMB = 1048576;
std::atomic<int64_t> gFreeBytes{0};

bool FakeFreeSpace(const std::string& /*path*/, int64_t* freeBytes) {
  *freeBytes = gFreeBytes.load();
  return true;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void Touch(const std::string& path, int daysOld) {
  std::ofstream(path) << "old\n";
  const time_t then = time(nullptr) - daysOld * 86400;
  struct timeval times[2] = {{then, 0}, {then, 0}};
  ASSERT_EQ(0, lutimes(path.c_str(), times));
}

class FileWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/logtest-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(pattern));
    m_tmp = pattern;
    m_dir = m_tmp + "/quorin-tester";
    setenv("TMPDIR", m_tmp.c_str(), 1);
    setenv("USER", "tester", 1);
    gFreeBytes = int64_t(100000) * kMB;
    FileWriter::SetDiskFreeSpaceQueryForTesting(&FakeFreeSpace);
  }
  void TearDown() override {
    Logger::ShutDown();
    FileWriter::SetDiskFreeSpaceQueryForTesting(nullptr);
    fs::remove_all(m_tmp);
  }

  FileWriter* MakeLogger(std::initializer_list<std::pair<const char*, const char*>> options = {}) {
    ScopedTestLogger::SettlePollThread();  // its start-up lines stay out of the file
    m_logger = Logger::Create("AppLogger", "App", true);
    m_writerRef = m_logger->CreateWriter(LOG_WRITER_FILE);
    auto* writer = static_cast<FileWriter*>(m_writerRef.Ptr());
    for (const auto& option : options) {
      EXPECT_TRUE(writer->SetCustomOption(option.first, option.second)) << option.first;
    }
    return writer;
  }
  std::string Option(const char* name) {
    std::string value;
    RCPtr<LogWriter> writer = m_logger->GetWriter(LOG_WRITER_FILE);
    EXPECT_TRUE(writer.Ptr() != nullptr && writer->GetCustomOption(name, value)) << name;
    return value;
  }
  std::string Path(const std::string& name) const { return m_dir + "/" + name; }
  bool Exists(const std::string& name) const { return access(Path(name).c_str(), F_OK) == 0; }
  std::string Name(const std::string& info, const std::string& app = "App") const {
    return "quorin-" + app + "-" + info + ".log";
  }
  // Expired files quorin-App-99(1..count).log, and how many of them are left.
  void TouchExpired(int count) {
    fs::create_directories(m_dir);
    for (int i = 1; i <= count; ++i) {
      Touch(Path(Name("99(" + std::to_string(i) + ")")), 8);
    }
  }
  int Expired() const {
    fs::directory_iterator files(m_dir);
    return static_cast<int>(std::count_if(begin(files), end(files), [](const auto& entry) {
      return entry.path().filename().string().rfind("quorin-App-99(", 0) == 0;
    }));
  }

  std::string m_tmp;
  std::string m_dir;
  const std::string m_pid = std::to_string(getpid());
  LoggerPtr m_logger;
  RCPtr<LogWriter> m_writerRef;
};

// The log configuration file beside the log folder, and a logger that reads it.
class ConfigFile : public FileWriterTest {
 protected:
  void SetUp() override {
    FileWriterTest::SetUp();
    m_path = m_tmp + "/log.conf";
    ScopedTestLogger::SettlePollThread();
  }

  // Writes the file with a modification time of its own, so each version is noticed.
  void Write(const std::string& text) {
    std::ofstream(m_path) << text;
    fs::last_write_time(m_path,
                        fs::file_time_type::clock::now() + std::chrono::seconds(++m_version * 10));
  }
  // A default logger of "App" with the file attached and a recording writer in a slot
  // the file does not switch; started unless the test still has settings to make.
  void MakeConfigured(bool start = true) {
    m_logger = Logger::Create("CfgLogger", "App", true);
    m_record = new TestLogWriter(LOG_WRITER_PROXY);
    ASSERT_TRUE(m_logger->AddWriter(m_record.Ptr()));
    ASSERT_TRUE(m_logger->AddConfigFileReader(m_path));
    if (start) {
      ASSERT_TRUE(m_logger->Start());
      m_record->Clear();
    }
  }
  // The watcher's pass, as the poll thread makes it once a minute.
  void Watch() {
    Logger::ReadersList readers = m_logger->GetReaders();
    ASSERT_EQ(1u, readers.size());
    static_cast<ConfigSettingsReader*>(readers.front().Ptr())->CheckForChanges();
  }

  std::string m_path;
  int m_version = 0;
  TestLogWriterPtr m_record;
};

}  // namespace

TEST_F(FileWriterTest, NamesAndLimitsFollowLevelAndOptions) {
  FileWriter* writer = MakeLogger();
  EXPECT_EQ(Name(m_pid), writer->GetFilename(1));
  EXPECT_EQ(Name(m_pid + "(2)"), writer->GetFilename(2));
  EXPECT_EQ(Name("*"), writer->GetFilePattern());
  EXPECT_EQ("4294967295", Option("maxFileSizeMB"));  // unset: follows the level
  EXPECT_EQ(15u, writer->GetFileMaxSizeMB());
  for (auto [level, mb] : {std::pair<Level, uint32_t>{LOGGER_LOG_TRACE, 75},
                           {LOGGER_LOG_VERBOSE, 99},
                           {LOGGER_LOG_DEBUG, 50}}) {
    ASSERT_TRUE(m_logger->SetLevel(level));
    EXPECT_EQ(mb, writer->GetFileMaxSizeMB()) << level;
  }
  EXPECT_EQ(Name(m_pid + "(1)"), writer->GetFilename(1));  // below info the first has a number
  ASSERT_TRUE(writer->SetCustomOption("MAXROLLINGFILES", "0"));
  EXPECT_EQ(Name(m_pid + "(0012)"), writer->GetFilename(12));
  ASSERT_TRUE(writer->SetCustomOption("maxFileSizeMB", "5000"));
  EXPECT_EQ(1024u, writer->GetFileMaxSizeMB());
  ASSERT_TRUE(writer->SetCustomOption("maxRollingFiles", "5000"));
  EXPECT_EQ("1000", Option("maxRollingFiles"));
  EXPECT_FALSE(writer->SetCustomOption("maxDaysKept", "seven"));
  EXPECT_FALSE(writer->SetCustomOption("noSuchOption", "1"));
  EXPECT_FALSE(writer->SetCustomOption("maxDaysKept", ""));
  ASSERT_TRUE(writer->SetCustomOption("filename", "Other"));
  EXPECT_EQ(Name("*", "Other"), writer->GetFilePattern());
  EXPECT_EQ(Name(m_pid, "default"), RCPtr<FileWriter>(new FileWriter())->GetFilename(1));

  ASSERT_TRUE(writer->SetCustomOption("maxFileSizeMB", "0"));  // never rolls
  ASSERT_TRUE(m_logger->Start());
  EXPECT_FALSE(writer->TimeToRollLogFile());
}

TEST_F(FileWriterTest, SessionsAppendWithTheBannerAndRollingKeepsTheFirstAndNewest) {
  ASSERT_TRUE(MakeLogger()->SetMaxBufferSize(500000));
  ASSERT_TRUE(m_logger->Start());
  QR_LOG(LOGGER_LOG_INFO, "first session\n");
  Logger::ShutDown();

  FileWriter* writer = MakeLogger({{"maxFileSizeMB", "1"}, {"maxDaysKept", "0"}});
  ASSERT_TRUE(writer->SetBufferingEnabled(false));  // a roll check after every line
  ASSERT_TRUE(m_logger->Start());
  QR_LOG(LOGGER_LOG_INFO, "second session\n");
  const std::string second = Name(m_pid + "(2)");
  for (int i = 0; i < 5000 && Option("filename") != second; ++i) {
    QR_LOG(LOGGER_LOG_INFO, "%s\n", std::string(1000, 'f').c_str());
  }
  ASSERT_EQ(second, Option("filename"));
  for (int i = 0; i < 4; ++i) {
    writer->RollLogFile();
  }
  EXPECT_FALSE(Exists(second));
  for (const char* n : {"", "(3)", "(4)", "(5)", "(6)"}) {
    EXPECT_TRUE(Exists(Name(m_pid + n))) << n;
  }
  Logger::ShutDown();
  std::string text = ReadFile(Path(Name(m_pid)));
  EXPECT_GE(text.size(), static_cast<size_t>(kMB));
  const std::string banner = "\n" + std::string(78, '*') + "\n" + std::string(24, '*') +
                             "   NEW LOG SESSION STARTING   " + std::string(24, '*') + "\n" +
                             std::string(78, '*') + "\n\n";
  size_t at = text.find(banner);
  EXPECT_LT(text.find("TestBody(): first session\n"), at);
  EXPECT_LT(at, text.find("second session"));
  EXPECT_EQ(at, text.rfind(banner));
  EXPECT_EQ(fs::perms(0640), fs::status(Path(Name(m_pid))).permissions());
}

// A pass deletes at most 20 expired files of this application, only regular files of
// this user (never a link, even to an expired file, nor another user's file).
TEST_F(FileWriterTest, RetentionDeletesTwentyExpiredOwnFilesPerPass) {
  Logger::ShutDown();  // nothing to shut down yet
  TouchExpired(45);
  Touch(Path(Name("98")), 6);  // not old enough
  Touch(Path("quorin-Another-1.log"), 30);
  Touch(m_tmp + "/victim", 8);
  ASSERT_EQ(0, symlink((m_tmp + "/victim").c_str(), Path(Name("96")).c_str()));
  Touch(Path(Name("96")), 8);
  const bool root = geteuid() == 0;  // only root can give a file to another user
  if (root) {
    Touch(Path(Name("95")), 8);
    ASSERT_EQ(0, chown(Path(Name("95")).c_str(), 65534, 65534));
  }
  RCPtr<FileWriter> writer(new FileWriter());
  ASSERT_TRUE(writer->SetCustomOption("folderPath", m_dir));
  ASSERT_TRUE(writer->SetCustomOption("filename", "App"));
  EXPECT_TRUE(writer->DeleteOldLogFiles());  // no logger: quietly
  EXPECT_EQ(25, Expired());
  ScopedTestLogger log(LOGGER_LOG_INFO);
  EXPECT_TRUE(writer->DeleteOldLogFiles());
  EXPECT_EQ(5, Expired());
  EXPECT_FALSE(writer->DeleteOldLogFiles());
  EXPECT_EQ(0, Expired());
  for (const std::string& kept :
       {Name("98"), Name("96"), Name(root ? "95" : "98"), std::string("quorin-Another-1.log")}) {
    EXPECT_TRUE(Exists(kept)) << kept;
  }
  EXPECT_EQ("old\n", ReadFile(m_tmp + "/victim"));
  EXPECT_EQ(25, log.Writer()->CountContaining("Deleted \"" + m_dir + "/quorin-App-99("));
  EXPECT_TRUE(
      log.Writer()->HasMessage("Deleting \"" + m_dir + "/quorin-App-*.log\" older than 7 days"));
  ASSERT_TRUE(writer->SetCustomOption("maxDaysKept", "0"));
  EXPECT_FALSE(writer->DeleteOldLogFiles());
}

// The next pass's time-out is read from the poll thread's item table, not waited for.
TEST_F(FileWriterTest, RetentionPassesRunAtStartThenOneSecondOrFourHoursApart) {
  for (auto [expired, timeout] :
       {std::pair<int, const char*>{5, "timeout(4:00:00.000)"}, {300, "timeout(1.000s)"}}) {
    SCOPED_TRACE(timeout);
    TouchExpired(expired);
    MakeLogger();
    TestLogWriterPtr record(new TestLogWriter());
    ASSERT_TRUE(m_logger->AddWriter(record.Ptr()));
    ASSERT_TRUE(m_logger->Start());
    const int afterFirst = expired > 20 ? expired - 20 : 0;
    for (int i = 0; i < 2000 && Expired() > afterFirst; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_LE(Expired(), afterFirst);
    Logger::GetPollThread()->LogAllItems(LOGGER_LOG_INFO);
    EXPECT_EQ(1u, record->LinesContaining("DeleteOldFiles - timeout(").size());
    EXPECT_EQ(1u, record->LinesContaining(std::string("DeleteOldFiles - ") + timeout).size());
    Logger::ShutDown();
    fs::remove_all(m_dir);
  }
}

TEST_F(FileWriterTest, LowDiskSuspendsAllButErrorsUntilTheHighThreshold) {
  FileWriter* writer = MakeLogger({{"maxDaysKept", "0"}});
  ASSERT_TRUE(writer->SetBufferingEnabled(false));  // a disk check after every line
  ASSERT_TRUE(m_logger->Start());
  const struct {
    int64_t freeMB;
    Level level;
    const char* text;
    bool suspended;
  } steps[] = {{150, LOGGER_LOG_INFO, "msg-b", true},  // written, then the check suspends
               {150, LOGGER_LOG_WARN, "msg-c", true},  {150, LOGGER_LOG_ERROR, "msg-d", true},
               {300, LOGGER_LOG_INFO, "msg-e", true},  {500, LOGGER_LOG_INFO, "msg-f", false},
               {500, LOGGER_LOG_INFO, "msg-g", false}, {150, LOGGER_LOG_INFO, "suspend", true}};
  for (const auto& step : steps) {
    gFreeBytes = step.freeMB * kMB;
    QR_LOG(step.level, "%s\n", step.text);
    EXPECT_EQ(step.suspended, writer->IsSuspended()) << step.text;
  }
  ASSERT_TRUE(writer->SetCustomOption("diskThresholdLowMB", "100"));
  QR_LOG(LOGGER_LOG_INFO, "check\n");
  EXPECT_FALSE(writer->IsSuspended());
  QR_LOG(LOGGER_LOG_INFO, "kept\n");
  Logger::ShutDown();
  std::string text = ReadFile(Path(Name(m_pid)));
  for (const char* dropped : {"msg-c", "msg-e", "msg-f", "check\n"}) {
    EXPECT_EQ(std::string::npos, text.find(dropped)) << dropped;
  }
  EXPECT_NE(std::string::npos, text.find("kept\n"));
  const std::string stars = "\\*\\*\\*\\*\\*\\*\\*";
  EXPECT_TRUE(std::regex_search(
      text,
      std::regex("msg-b\\n\\n\\d{4}-\\d{2}-\\d{2} [0-9:.]{12} <[0-9A-F]{8,}> \\[[0-9A-F]{4,}\\] " +
                 stars + " Free disk space is 150\\.0MB - Logging suspended " + stars +
                 "\\n[^\\n]*msg-d\\n[^\\n]*\\] " + stars +
                 " Free disk space is 500\\.0MB - Logging resumed after [^\\n]+ " + stars +
                 "\\n\\n[^\\n]*msg-g\\n")))
      << text;
}

// The per-user folder lies in a world-writable folder, where another local user may plant
// links, folders and files.
TEST_F(FileWriterTest, PlantedFoldersAndFilesAreRefusedAndLeftUntouched) {
  const uid_t kNobody = 65534;
  const std::string victim = m_tmp + "/victim";
  const std::string elsewhere = m_tmp + "/elsewhere";
  const std::string logFile = Path(Name(m_pid));
  auto folder = [&] { return mkdir(m_dir.c_str(), 0777); };
  const struct {
    const char* what;
    bool needsRoot;
    std::function<int()> plant;
  } cases[] = {
      {"folder is a link to another folder", false,
       [&] { return symlink(elsewhere.c_str(), m_dir.c_str()); }},
      {"folder belongs to another user", true,
       [&] { return folder() | chmod(m_dir.c_str(), 0777) | chown(m_dir.c_str(), kNobody, 0); }},
      {"log file is a link to another file", false,
       [&] { return folder() | symlink(victim.c_str(), logFile.c_str()); }},
      {"log file is another name of another file", false,
       [&] { return folder() | link(victim.c_str(), logFile.c_str()); }},
      {"log file belongs to another user", true,
       [&] {
         return folder() | (std::ofstream(logFile) << "theirs\n" ? 0 : -1) |
                chown(logFile.c_str(), kNobody, kNobody);
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.needsRoot && geteuid() != 0) {
      std::printf("skipped \"%s\": giving a file to another user needs root\n", c.what);
      continue;
    }
    fs::remove_all(m_dir);
    fs::create_directory(elsewhere);
    std::ofstream(victim, std::ios::trunc) << "secret\n";
    ASSERT_EQ(0, chmod(victim.c_str(), 0600));
    ASSERT_EQ(0, c.plant());
    // The plant itself: the log file's name when it was planted, else the folder.
    const std::string planted = fs::exists(fs::symlink_status(logFile)) ? logFile : m_dir;
    struct stat before;
    ASSERT_EQ(0, lstat(planted.c_str(), &before));
    const std::string plantedText = ReadFile(logFile);

    MakeLogger();
    EXPECT_FALSE(m_logger->Start());
    QR_LOG(LOGGER_LOG_ERROR, "must not land anywhere\n");
    Logger::ShutDown();

    EXPECT_EQ("secret\n", ReadFile(victim));
    EXPECT_EQ(fs::perms(0600), fs::status(victim).permissions());
    EXPECT_TRUE(fs::is_empty(elsewhere));
    EXPECT_EQ(plantedText, ReadFile(logFile));
    struct stat after;
    ASSERT_EQ(0, lstat(planted.c_str(), &after));
    EXPECT_EQ(before.st_mode, after.st_mode);
    EXPECT_EQ(before.st_uid, after.st_uid);
  }
}

// Run under TSan: the drain, the writers and a hand that rolls, flushes and syncs race.
TEST_F(FileWriterTest, ManyThreadsIntoTheBufferedWriterLoseNoLineAndKeepTheirOrder) {
  // maxRollingFiles 0 keeps every file, its counter giving the order of the files.
  FileWriter* writer =
      MakeLogger({{"maxFileSizeMB", "1"}, {"maxRollingFiles", "0"}, {"maxDaysKept", "0"}});
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
  while (running > 0) {
    writer->RollLogFile();
    writer->FlushMessages();
    writer->SyncMessages();
    std::this_thread::sleep_for(std::chrono::microseconds(1500));
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  Logger::ShutDown();

  const std::set<fs::path> files(fs::directory_iterator(m_dir), fs::directory_iterator{});
  EXPECT_GT(files.size(), 2u);
  std::vector<int> next(kThreads, 0);
  for (const fs::path& file : files) {
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);) {
      int t = 0;
      int i = 0;
      size_t at = line.find("line t");
      if (at != std::string::npos && std::sscanf(line.c_str() + at, "line t%d-%d", &t, &i) == 2) {
        ASSERT_EQ(next.at(static_cast<size_t>(t))++, i) << "line t" << t << "-" << i;
      }
    }
  }
  EXPECT_EQ(std::vector<int>(kThreads, kLines), next);
}

TEST_F(ConfigFile, LinesAreSplitTrimmedAndMatchedByKey) {
  Write(
      "no equals sign\n"
      "nodot = 1\n"
      "  APP.cfglogger.logLevel=debug \r\n"
      "App.CfgLogger.LogLevel = TRACE\n"
      "App.CfgLogger. = x\n"
      "App.CfgLogger.empty =   \n"
      "Other.CfgLogger.useLocalTime = FALSE\n"
      "App.CfgLogger.logMaxDaysKept = 5\n"
      "App.CfgLogger.logMaxDaysKept = 12days\n"
      "App.CfgLogger.big = 99999999999\n"
      "App.CfgLogger.none = days\n"
      "App.CfgLogger.flag = Yes\n"
      "App.CfgLogger.c = x = y\n");
  ConfigSettingsReaderPtr reader(new ConfigSettingsReader("App.CfgLogger", m_path));
  // Each lookup as its value, or "-" when it fails.
  auto str = [&](const char* name, bool multiString = false) {
    std::string text;
    return reader->LookupStringVal(name, multiString, text, true) ? text : "-";
  };
  auto number = [&](const char* name) {
    DWORD value = 1;
    return reader->LookupDWORDVal(name, &value, true) ? std::to_string(value) : "-";
  };
  EXPECT_EQ("debug", str("logLevel"));
  EXPECT_EQ("-", str("logLevel", true));
  EXPECT_EQ("x = y", str("c"));         // split at the first "=", the last "." of the left side
  EXPECT_EQ("TRACE", str("LogLevel"));  // names are exact
  for (const char* missing : {"", "empty", "useLocalTime", "nodot"}) {
    EXPECT_EQ("-", str(missing)) << missing;
  }
  EXPECT_EQ("12", number("logMaxDaysKept"));  // the last line wins, read up to its first non-digit
  EXPECT_EQ("4294967295", number("big"));
  EXPECT_EQ("0", number("none"));
  bool flag = false;
  EXPECT_FALSE(reader->LookupBoolVal("flag", &flag, true));

  fs::remove(m_path);
  EXPECT_FALSE(reader->ReadFile());
  EXPECT_EQ("-", str("logLevel"));

  // Attaching needs an application name and a path (the file may come later).
  EXPECT_FALSE(Logger::Create("Unnamed", "", false)->AddConfigFileReader(m_path));
  LoggerPtr named = Logger::Create("Named", "App", false);
  EXPECT_FALSE(named->AddConfigFileReader(""));
  EXPECT_TRUE(named->AddConfigFileReader(m_tmp + "/not-yet-there.conf"));
  EXPECT_EQ(1u, named->GetReaders().size());
  // NEVER is no level name: the level set by hand holds.
  Write("App.CfgLogger.logLevel = never\n");
  MakeConfigured(false);
  ASSERT_TRUE(m_logger->SetLevel(LOGGER_LOG_ERROR));
  ASSERT_TRUE(m_logger->Start());
  EXPECT_EQ(LOGGER_LOG_ERROR, m_logger->GetLevel());
}

// (The syslog keys and the start-up line that names the file and key the level came from are
// pinned end to end by the plug-in.)
TEST_F(ConfigFile, KeysApplyBeforeStart) {
  const struct {
    const char* key;
    std::string value;
    const char* option;
  } keys[] = {{"logDirectory", m_tmp, "folderPath"},
              {"logMaxDaysKept", "3", "maxDaysKept"},
              {"logMaxFileSizeMB", "2", "maxFileSizeMB"},
              {"logMaxRollingFiles", "7", "maxRollingFiles"},
              {"logDiskThresholdLowMB", "10", "diskThresholdLowMB"},
              {"logDiskThresholdHighMB", "20", "diskThresholdHighMB"}};
  std::string text =
      "App.CfgLogger.logLevel = debug\nApp.CfgLogger.useLocalTime = false\n"
      "App.CfgLogger.logEnabled = TRUE\nApp.CfgLogger.logToSyslog = True\n"
      "App.CfgLogger.enableBuffering = FALSE\n";
  for (const auto& key : keys) {
    text += std::string("App.CfgLogger.") + key.key + " = " + key.value + "\n";
  }
  Write(text);
  MakeConfigured();
  EXPECT_EQ(LOGGER_LOG_DEBUG, m_logger->GetLevel());
  EXPECT_FALSE(m_logger->UseLocalTime());
  for (const auto& key : keys) {
    EXPECT_EQ(key.value, Option(key.option)) << key.key;
  }
  // Buffering was applied to the writers that existed then: the recording one.
  EXPECT_FALSE(m_record->IsBufferingEnabled());
  EXPECT_TRUE(m_logger->GetWriter(LOG_WRITER_FILE)->IsBufferingEnabled());
  EXPECT_FALSE(m_logger->WriterExists(LOG_WRITER_STDOUT));
}

TEST_F(ConfigFile, WatcherAppliesChangesAfterStartWithTheirMessages) {
  Write(
      "app.cfglogger.logLevel = debug\napp.cfglogger.enableBuffering = false\n"
      "App.CfgLogger.logEnabled = TRUE\nApp.CfgLogger.logMaxDaysKept = 0\n");
  MakeConfigured();
  const std::string folder = Option("folderPath");

  Watch();  // the time did not change: nothing is read
  EXPECT_EQ(0u, m_record->Count());

  Write(
      "App.CfgLogger.logLevel = TRACE\n"
      "App.CfgLogger.useLocalTime = FALSE\n"
      "App.CfgLogger.enableBuffering = false\n"
      "App.CfgLogger.logToStdout = TRUE\n"
      "App.CfgLogger.logMaxDaysKept = 0\n"
      "App.CfgLogger.logMaxRollingFiles = 9\n"
      "App.CfgLogger.logDirectory = /elsewhere\n");
  Watch();
  // File limits change after start, the directory does not; an unchanged key says nothing.
  EXPECT_EQ("9", Option("maxRollingFiles"));
  EXPECT_EQ(folder, Option("folderPath"));
  EXPECT_TRUE(m_record->HasMessage("FILE - logMaxRollingFiles changed to 9"));
  EXPECT_EQ(0, m_record->CountContaining("logMaxDaysKept"));
  EXPECT_EQ(LOGGER_LOG_TRACE, m_logger->GetLevel());
  EXPECT_EQ(LOGGER_LOG_TRACE, Logger::s_defaultLoggerLogLevel);
  EXPECT_FALSE(m_logger->UseLocalTime());
  EXPECT_FALSE(m_logger->WriterExists(LOG_WRITER_STDOUT));  // no new writers after start
  EXPECT_TRUE(m_record->HasMessage("logLevel changed to TRACE"));
  EXPECT_TRUE(m_record->HasMessage(m_path + " changed - rereading file"));

  // Removed keys fall back to their defaults; NEVER is no level name.
  m_record->Clear();
  Write("App.CfgLogger.logLevel = NEVER\n");
  Watch();
  EXPECT_EQ(LOGGER_LOG_INFO, m_logger->GetLevel());
  EXPECT_TRUE(m_logger->UseLocalTime());
  EXPECT_TRUE(m_record->IsBufferingEnabled());
  m_record->FlushMessages();
  EXPECT_TRUE(m_record->HasMessage("enableBuffering changed to TRUE"));
  EXPECT_NE(std::string::npos,
            m_record->LinesContaining("changed to").at(0).find("] A ConfigFileReader: "));

  // A file that disappears is not re-read: the last settings stay.
  fs::remove(m_path);
  Watch();
  EXPECT_EQ(LOGGER_LOG_INFO, m_logger->GetLevel());
}

// A missing key changes nothing. (The file switch takes the same way as these; standard
// error's lines are pinned end to end.)
TEST_F(ConfigFile, WriterSwitchesCreateBeforeStartThenSwitchOffAndOnWithMessages) {
  const struct {
    const char* key;
    LogWriterType type;
    const char* kind;
  } rows[] = {{"logToSyslog", LOG_WRITER_SOCKET, "SOCKET"},
              {"logToDebugView", LOG_WRITER_DEBUG, "DEBUG"},
              {"logToStdout", LOG_WRITER_STDOUT, "STDOUT"}};
  const std::string base = "App.CfgLogger.logRemoteAddress = 127.0.0.1\n";
  for (const auto& row : rows) {
    SCOPED_TRACE(row.kind);
    Write(base + "App.CfgLogger." + row.key + " = true\n");
    FdCapture out(1);
    MakeConfigured();
    RCPtr<LogWriter> writer = m_logger->GetWriter(row.type);
    ASSERT_NE(nullptr, writer.Ptr());
    EXPECT_TRUE(writer->IsInitialized());
    for (std::string value : {"FALSE", "", "TRUE"}) {  // "": the key is gone
      Write(base +
            (value.empty() ? "" : "App.CfgLogger." + std::string(row.key) + " = " + value + "\n"));
      Watch();
      EXPECT_EQ(value == "TRUE", writer->IsEnabled()) << value;
    }
    m_record->FlushMessages();
    std::string prefix = std::string(row.kind) + " - " + row.key + " changed to ";
    EXPECT_EQ(1, m_record->CountContaining(prefix + "FALSE"));
    EXPECT_EQ(1, m_record->CountContaining(prefix + "TRUE"));
    if (row.type != LOG_WRITER_SOCKET) {
      Logger::Log("@Here", LOGGER_LOG_WARN, "to the stream %d", 7);
      writer->FlushMessages();  // buffered, as the file says by default
      Logger::ShutDown();       // its own lines still go to the captured stream
      EXPECT_NE(std::string::npos, out.Text().find("] W Here: to the stream 7\n")) << out.Text();
    }
    Logger::ShutDown();
  }
}
