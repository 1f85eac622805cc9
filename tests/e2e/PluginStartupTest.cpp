// The plug-in as the daemon starts it: the level from the user's preference file or the
// operator's log configuration file (which also switches standard error and syslog on), the
// log file in the per-user temporary folder with its start-up lines, a log folder that cannot be
// made, and a Fini that leaves no thread behind.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <future>
#include <sstream>
#include <sys/stat.h>
#include <thread>

#include "BuildNumber.h"
#include "UsbEndToEndFixture.h"
#include "support/FdCapture.h"
#include "support/UdpReceiver.h"

namespace {

const std::string kPrefix =
    R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} <[0-9A-F]{8}> \[[0-9A-F]{4,}\] )";

int ThreadCount() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("Threads:", 0) == 0) return std::atoi(line.c_str() + 8);
  }
  return -1;
}

std::string ReadFile(const std::string& path) {
  std::ostringstream text;
  text << std::ifstream(path).rdbuf();
  return text.str();
}

// The environment and preference files of the fixture, without a plug-in started.
class PluginStartup : public UsbEndToEnd {
 protected:
  void SetUp() override { ASSERT_NO_FATAL_FAILURE(Prepare()); }

  void WriteUserConfig(const std::string& text) {
    std::ofstream(m_root + "/home/.quorin/config") << text;
  }
  // The preference names the operator's file with "~"; its lines get the plug-in logger's key.
  void WriteLogConfig(const std::string& settings) {
    std::ofstream file(m_root + "/home/usbredir-log.conf");
    std::istringstream lines(settings);
    for (std::string line; std::getline(lines, line);) {
      file << "UsbRedirPlugin.UsbRedirPluginLogger." << line << "\n";
    }
  }

  // Init, a session on the current thread that is asked for one URB response before its
  // channel exists (a debug line, then an error line), Fini.
  void RunPlugin(bool handOver = true) {
    ASSERT_NO_FATAL_FAILURE(StartHost(handOver));
    const VhubHost::EntryPoints& entry = m_host->Entry();
    ASSERT_EQ(entry.Register(5), TRUE);
    USBRedir_SendResponseExt ext{};
    EXPECT_EQ(entry.SendResponse(5, const_cast<char*>("urb"), 3, USB_REDIR_PACKAGE_TYPE_URB, &ext),
              TRUE);
    entry.Unregister(5);
    m_host.reset();
  }
};

// The level comes from the user's preference file. One that is a device, a pipe, a folder
// or too big is skipped whole: Init neither blocks nor runs out of memory, and the plug-in
// starts with its defaults (a level read from an oversized file would have been debug).
TEST_F(PluginStartup, LevelComesFromTheUserConfigWhenItIsAPlainFileOfSensibleSize) {
  const std::string level = "UsbRedirPlugin.log.logLevel = debug\n";
  std::string big;
  while (big.size() <= 1024 * 1024) {
    big += level;
  }
  const std::string config = m_root + "/home/.quorin/config";
  auto write = [&](std::string text) { return [this, text] { WriteUserConfig(text); }; };
  const struct {
    const char* kind;
    std::function<void()> make;
    std::string levelText;  // as the start-up line shows it
  } rows[] = {
      {"debug", write("UsbRedirPlugin.log.logLevel = \"DEBUG\"\n"), "DEBUG"},
      {"Warning", write("UsbRedirPlugin.log.logLevel = \"Warning\"\n"), "INFO"},
      {"warn", write("UsbRedirPlugin.log.logLevel = \"warn\"\n"), "WARN"},
      {"absent", write("# no level here\nother.key = \"1\"\n"), "INFO"},
      {"symbolic link to /dev/zero", [&] { ASSERT_EQ(symlink("/dev/zero", config.c_str()), 0); },
       "INFO"},
      {"named pipe", [&] { ASSERT_EQ(mkfifo(config.c_str(), 0600), 0); }, "INFO"},
      {"folder", [&] { ASSERT_EQ(mkdir(config.c_str(), 0700), 0); }, "INFO"},
      {"larger than the limit", write(big), "INFO"},
      {"line longer than the limit", write(level + "x = \"" + std::string(70000, 'x') + "\"\n"),
       "INFO"},
  };
  int run = 0;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.kind);
    ASSERT_EQ(system(("rm -rf " + config).c_str()), 0);
    row.make();
    const std::string tmp = "/tmp" + std::to_string(++run);
    setenv("TMPDIR", (m_root + tmp).c_str(), 1);
    ASSERT_EQ(mkdir((m_root + tmp).c_str(), 0700), 0);
    auto plugin = std::async(std::launch::async, [&] { RunPlugin(); });
    if (plugin.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
      close(open(config.c_str(), O_WRONLY | O_NONBLOCK));  // let a blocked open go on
      ADD_FAILURE() << "Init blocked";
    }
    plugin.get();
    const bool debug = row.levelText == "DEBUG";
    std::vector<std::string> lines = ReadLines(LogPath(debug ? "(1)" : "", tmp));
    ASSERT_GE(lines.size(), 4u);
    // The four start-up lines open the file; the first names this build (__DATE__ __TIME__).
    EXPECT_TRUE(std::regex_match(
        lines[0],
        std::regex(kPrefix + "A Logger::LogStartupInfo\\(\\): version=build-" USBREDIR_BUILD_NUMBER
                             " \\([A-Z][a-z]{2} [ 123]\\d \\d{4} \\d\\d:\\d\\d:\\d\\d\\), "
                             "buildtype=release/64-bit")))
        << lines[0];
    EXPECT_TRUE(std::regex_match(lines[1], std::regex(kPrefix + "A .*OS Version: .*"))) << lines[1];
    EXPECT_NE(lines[2].find("Time Zone: "), std::string::npos);
    EXPECT_TRUE(std::regex_match(
        lines[3], std::regex(kPrefix + "A Log Level: " + row.levelText + " \\(read from \\)")))
        << lines[3];
    const size_t info = row.levelText == "WARN" ? 0 : 1;
    for (const char* call : {"Init\\(\\): Load", "Fini\\(\\): Unload"}) {
      EXPECT_EQ(CountMatching(lines, kPrefix + "I UsbRedirectionPlugin_" + call +
                                         " libusbRedirectionPlugin\\.so"),
                info);
    }
    EXPECT_EQ(CountMatching(lines, ".* E .*: Something went wrong while calling CreateMessage\\."),
              1u);
    EXPECT_EQ(CountMatching(lines, ".* D .*: Failed to create message \\(hChannel == NULL\\)"),
              debug ? 1u : 0u);
  }
}

TEST_F(PluginStartup, LogFolderThatCannotBeMadeOrComesFromDefaults) {
  // The temporary root is a file, so the per-user folder cannot be created inside it.
  std::ofstream(m_root + "/not-a-folder") << "x";
  setenv("TMPDIR", (m_root + "/not-a-folder").c_str(), 1);
  RunPlugin();  // every call answers as usual
  EXPECT_EQ(access((m_root + "/not-a-folder/quorin-tester").c_str(), F_OK), -1);
  // Without a user name or a temporary folder in the environment: /tmp and "default".
  for (const char* name : {"USER", "TMPDIR", "TMP", "TEMP"}) {
    unsetenv(name);
  }
  const std::string folder = "/tmp/quorin-default";
  const std::string path = folder + "/quorin-UsbRedirPlugin-" + std::to_string(getpid()) + ".log";
  RunPlugin();
  EXPECT_EQ(access(path.c_str(), F_OK), 0);
  unlink(path.c_str());
  rmdir(folder.c_str());  // unless someone else uses it
}

// The preference "UsbRedirPlugin.log.configFile" names the operator's file: its level wins
// over the plug-in's own level preference, it sends to standard error and syslog.
TEST_F(PluginStartup, LogConfigFileSetsTheLevelAndSendsToStandardErrorAndSyslog) {
  UdpReceiver receiver;
  ASSERT_NE(0, receiver.Port());
  WriteUserConfig(
      "UsbRedirPlugin.log.logLevel = \"error\"\n"
      "UsbRedirPlugin.log.configFile = \"~/usbredir-log.conf\"\n");
  WriteLogConfig(
      "logLevel = debug\nlogToStderr = TRUE\nlogToSyslog = TRUE\n"
      "logRemoteAddress = 127.0.0.1\nlogRemotePort = " +
      std::to_string(receiver.Port()));
  FdCapture err(2);
  RunPlugin(false);
  std::string stderrText = err.Text();
  std::string file = ReadFile(LogPath("(1)"));  // debug level numbers the first file
  std::string location =
      m_root + "/home/usbredir-log.conf [UsbRedirPlugin.UsbRedirPluginLogger.logLevel]";
  for (const std::string* text : {&stderrText, &file}) {
    EXPECT_NE(std::string::npos, text->find("] A Log Level: DEBUG (read from " + location + ")\n"))
        << *text;
    EXPECT_NE(std::string::npos,
              text->find("] I UsbRedirectionPlugin_Init(): Load libusbRedirectionPlugin.so\n"));
    EXPECT_NE(std::string::npos, text->find(" D ")) << "no debug line";
  }
  // The file writer comes first in type order and builds each line for all writers, so
  // a datagram is the very line of the file.
  ASSERT_TRUE(receiver.WaitFor("Unload libusbRedirectionPlugin.so", 5000));
  size_t matched = 0;
  for (const std::string& datagram : receiver.Datagrams()) {
    matched += file.find(datagram) != std::string::npos && datagram.back() == '\n' ? 1 : 0;
  }
  EXPECT_EQ(receiver.Datagrams().size(), matched);
  EXPECT_GE(matched, 6u);
}

// The last flush of Fini crosses the 1 MB limit the operator's file sets. The roll it used
// to start brought the logging poll thread back after shut-down, in code the host then
// unmapped.
TEST_F(PluginStartup, FiniThatCrossesTheSizeLimitLeavesNoThreadAndNoNewFile) {
  WriteUserConfig("UsbRedirPlugin.log.configFile = \"~/usbredir-log.conf\"\n");
  WriteLogConfig("logMaxFileSizeMB = 1");
  ASSERT_EQ(mkdir((m_root + "/tmp/quorin-tester").c_str(), 0700), 0);
  std::ofstream(LogPath()) << std::string(1024 * 1024, 'x') << "\n";
  // A first thread makes sanitizer runtimes start their own helper thread now, not later.
  std::thread([] {}).join();
  const int threadsBefore = ThreadCount();
  ASSERT_NO_FATAL_FAILURE(StartHost(false));  // its lines wait in the queue for the next drain
  m_host->Fini();
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (ThreadCount() > threadsBefore && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(threadsBefore, ThreadCount());
  m_host.reset();                                               // dlclose
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // a stray thread would crash here
  EXPECT_NE(std::string::npos,
            ReadFile(LogPath()).find(
                "I UsbRedirectionPlugin_Fini(): Unload libusbRedirectionPlugin.so\n"));
  EXPECT_NE(0, access(LogPath("(2)").c_str(), F_OK)) << "a file was created after shut-down";
}

}  // namespace
