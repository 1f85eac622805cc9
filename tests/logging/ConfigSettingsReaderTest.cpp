// The log configuration file: its line rules, the keys applied when the logger starts,
// the changes the watcher applies afterwards (driven directly, not after a minute), the
// case rules, and every writer switch with its change message.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <sys/time.h>
#include <vector>

#include <gtest/gtest.h>

#include "logging/ConfigSettingsReader.h"
#include "logging/LogMessage.h"
#include "logging/LogWriter.h"
#include "logging/Logger.h"
#include "support/FdCapture.h"
#include "support/ScopedTestLogger.h"
#include "support/TestLogWriter.h"

namespace {

class ConfigFile : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/logcfg-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(pattern));
    m_dir = pattern;
    m_path = m_dir + "/log.conf";
    setenv("TMPDIR", m_dir.c_str(), 1);
    setenv("USER", "tester", 1);
    ScopedTestLogger::SettlePollThread();
  }
  void TearDown() override {
    Logger::ShutDown();
    std::error_code ignored;
    std::filesystem::remove_all(m_dir, ignored);
  }

  // Writes the file with a modification time of its own, so each version is noticed.
  void Write(const std::string& text) {
    std::ofstream(m_path) << text;
    struct timeval times[2];
    gettimeofday(&times[0], nullptr);
    times[0].tv_sec += ++m_version * 10;
    times[1] = times[0];
    ASSERT_EQ(0, utimes(m_path.c_str(), times));
  }
  // A default logger of "App" with the file attached and a recording writer in a slot
  // the file does not switch; started unless the test still has settings to make.
  void MakeLogger(bool start = true) {
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
  std::string Option(LogWriterType type, const char* name) {
    std::string value;
    RCPtr<LogWriter> writer = m_logger->GetWriter(type);
    EXPECT_TRUE(writer.Ptr() != nullptr && writer->GetCustomOption(name, value)) << name;
    return value;
  }

  std::string m_dir;
  std::string m_path;
  int m_version = 0;
  LoggerPtr m_logger;
  TestLogWriterPtr m_record;
};

}  // namespace

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
  EXPECT_EQ(m_path + " [App.CfgLogger.logLevel]", reader->LookupLocation("logLevel"));

  std::filesystem::remove(m_path);
  EXPECT_FALSE(reader->ReadFile());
  EXPECT_EQ("-", str("logLevel"));

  // Attaching needs an application name and a path (the file may come later).
  EXPECT_FALSE(Logger::Create("Unnamed", "", false)->AddConfigFileReader(m_path));
  LoggerPtr named = Logger::Create("Named", "App", false);
  EXPECT_FALSE(named->AddConfigFileReader(""));
  EXPECT_TRUE(named->AddConfigFileReader(m_dir + "/not-yet-there.conf"));
  EXPECT_EQ(1u, named->GetReaders().size());
  // NEVER is no level name: the level set by hand holds.
  Write("App.CfgLogger.logLevel = never\n");
  MakeLogger(false);
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
  } keys[] = {{"logDirectory", m_dir, "folderPath"},
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
  MakeLogger();
  EXPECT_EQ(LOGGER_LOG_DEBUG, m_logger->GetLevel());
  EXPECT_FALSE(m_logger->UseLocalTime());
  for (const auto& key : keys) {
    EXPECT_EQ(key.value, Option(LOG_WRITER_FILE, key.option)) << key.key;
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
  MakeLogger();
  const std::string folder = Option(LOG_WRITER_FILE, "folderPath");
  ASSERT_EQ(LOGGER_LOG_DEBUG, m_logger->GetLevel());
  ASSERT_FALSE(m_record->IsBufferingEnabled());

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
  EXPECT_EQ("9", Option(LOG_WRITER_FILE, "maxRollingFiles"));
  EXPECT_EQ(folder, Option(LOG_WRITER_FILE, "folderPath"));
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
  std::vector<std::string> lines = m_record->LinesContaining("changed to");
  ASSERT_FALSE(lines.empty());
  EXPECT_NE(std::string::npos, lines[0].find("] A ConfigFileReader: "));

  // A file that disappears is not re-read: the last settings stay.
  std::filesystem::remove(m_path);
  Watch();
  EXPECT_EQ(LOGGER_LOG_INFO, m_logger->GetLevel());
}

// A missing key changes nothing.
TEST_F(ConfigFile, WriterSwitchesCreateBeforeStartThenSwitchOffAndOnWithMessages) {
  const struct {
    const char* key;
    LogWriterType type;
    const char* kind;
    int fd;  // of a stream writer, else 0
  } rows[] = {{"logEnabled", LOG_WRITER_FILE, "FILE", 0},
              {"logToSyslog", LOG_WRITER_SOCKET, "SOCKET", 0},
              {"logToDebugView", LOG_WRITER_DEBUG, "DEBUG", 1},
              {"logToStdout", LOG_WRITER_STDOUT, "STDOUT", 1},
              {"logToStderr", LOG_WRITER_STDERR, "STDERR", 2}};
  const std::string base = "App.CfgLogger.logRemoteAddress = 127.0.0.1\n";
  for (const auto& row : rows) {
    SCOPED_TRACE(row.kind);
    Write(base + "App.CfgLogger." + row.key + " = true\n");
    FdCapture streams[] = {FdCapture(1), FdCapture(2)};
    MakeLogger();
    RCPtr<LogWriter> writer = m_logger->GetWriter(row.type);
    ASSERT_NE(nullptr, writer.Ptr());
    EXPECT_TRUE(writer->IsInitialized());
    Write(base + "App.CfgLogger." + row.key + " = FALSE\n");
    Watch();
    EXPECT_FALSE(writer->IsEnabled());
    Write(base);
    Watch();
    EXPECT_FALSE(writer->IsEnabled());
    Write(base + "App.CfgLogger." + row.key + " = TRUE\n");
    Watch();
    EXPECT_TRUE(writer->IsEnabled());
    m_record->FlushMessages();
    std::string prefix = std::string(row.kind) + " - " + row.key + " changed to ";
    EXPECT_EQ(1, m_record->CountContaining(prefix + "FALSE"));
    EXPECT_EQ(1, m_record->CountContaining(prefix + "TRUE"));
    if (row.fd != 0) {
      Logger::Log("@Here", LOGGER_LOG_WARN, "to the stream %d", 7);
      writer->FlushMessages();  // buffered, as the file says by default
      EXPECT_TRUE(writer->WriteMessage(new LogMessage(nullptr, 0, LOGGER_LOG_ERROR)));
      Logger::ShutDown();  // its own lines still go to the captured stream
      std::string text = streams[row.fd - 1].Text();
      // (A report of the lines dropped while the writer was off may come between.)
      EXPECT_TRUE(std::regex_search(
          text, std::regex("\\] W Here: to the stream 7\\n[\\s\\S]*Failed to allocate memory for "
                           "log message\\n")))
          << text;
    }
    Logger::ShutDown();
  }
}
