// The plug-in as the daemon loads, starts and ends it: its exports, its log settings and
// files, and the channel service it finds.
#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <future>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>

#include "BuildNumber.h"
#include "UsbEndToEndFixture.h"
#include "support/FdCapture.h"
#include "support/UdpReceiver.h"

namespace {

const std::string kPrefix =
    R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} <[0-9A-F]{8}> \[[0-9A-F]{4,}\] )";

long ThreadCount() {
  std::filesystem::directory_iterator tasks("/proc/self/task");
  return std::distance(begin(tasks), end(tasks));
}

std::string ReadFile(const std::string& path) {
  std::ostringstream text;
  text << std::ifstream(path).rdbuf();
  return text.str();
}

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
  // channel exists (an error line), Fini.
  void RunPlugin(bool handOver = true) {
    ASSERT_NO_FATAL_FAILURE(StartHost(handOver));
    ASSERT_EQ(m_host->Entry().Register(5), TRUE);
    USBRedir_SendResponseExt ext{};
    EXPECT_EQ(m_host->SendResponse(5, "urb", 3, USB_REDIR_PACKAGE_TYPE_URB, &ext), TRUE);
    m_host->Entry().Unregister(5);
    m_host.reset();
  }
};

// The level comes from the user's preference file. A named pipe there is skipped without
// blocking Init (the other kinds of file the reader refuses: DictionaryLoad tests).
TEST_F(PluginStartup, LevelComesFromTheUserConfigWhenItIsAPlainFileOfSensibleSize) {
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
      {"named pipe", [&] { ASSERT_EQ(mkfifo(config.c_str(), 0600), 0); }, "INFO"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.kind);
    ASSERT_EQ(system(("rm -rf " + config + " " + m_root + "/tmp/quorin-tester").c_str()), 0);
    row.make();
    auto plugin = std::async(std::launch::async, [&] { RunPlugin(); });
    if (plugin.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
      close(open(config.c_str(), O_WRONLY | O_NONBLOCK));  // let a blocked open go on
      ADD_FAILURE() << "Init blocked";
    }
    plugin.get();
    std::vector<std::string> lines = ReadLines(LogPath(row.levelText == "DEBUG" ? "(1)" : ""));
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
    for (const char* call : {"Init\\(\\): Load", "Fini\\(\\): Unload"}) {
      EXPECT_EQ(CountMatching(lines, kPrefix + "I UsbRedirectionPlugin_" + call +
                                         " libusbRedirectionPlugin\\.so"),
                row.levelText == "WARN" ? 0u : 1u);
    }
    EXPECT_EQ(CountMatching(lines, ".* E .*: Something went wrong while calling CreateMessage\\."),
              1u);
  }
}

TEST_F(PluginStartup, LogFolderThatCannotBeMadeOrComesFromDefaults) {
  std::ofstream(m_root + "/not-a-folder") << "x";
  setenv("TMPDIR", (m_root + "/not-a-folder").c_str(), 1);
  RunPlugin();  // no logging, every call answers as usual
  // Without a user name or a temporary folder in the environment: /tmp and "default".
  for (const char* name : {"USER", "TMPDIR", "TMP", "TEMP"}) unsetenv(name);
  const std::string folder = "/tmp/quorin-default";
  const std::string path = folder + "/quorin-UsbRedirPlugin-" + std::to_string(getpid()) + ".log";
  RunPlugin();
  EXPECT_EQ(access(path.c_str(), F_OK), 0);
  unlink(path.c_str());
  rmdir(folder.c_str());  // unless someone else uses it
}

// The operator's file wins over the plug-in's own level preference.
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
  std::string file = ReadFile(LogPath("(1)"));  // debug level numbers the first file
  const std::string level =
      "] A Log Level: DEBUG (read from " + m_root +
      "/home/usbredir-log.conf [UsbRedirPlugin.UsbRedirPluginLogger.logLevel])\n";
  for (const std::string& text : {err.Text(), file}) {
    EXPECT_NE(std::string::npos, text.find(level)) << text;
    EXPECT_NE(std::string::npos, text.find(" D ")) << "no debug line";
  }
  // The file writer comes first in type order and builds each line for all writers, so
  // a datagram is the very line of the file.
  ASSERT_TRUE(receiver.WaitFor("Unload libusbRedirectionPlugin.so", 5000));
  EXPECT_GE(receiver.Datagrams().size(), 6u);
  for (const std::string& datagram : receiver.Datagrams()) {
    EXPECT_TRUE(file.find(datagram) != std::string::npos && datagram.back() == '\n') << datagram;
  }
}

// The roll that Fini's last flush over the 1 MB limit used to start brought the logging poll
// thread back after shut-down, in code the host then unmapped.
TEST_F(PluginStartup, FiniThatCrossesTheSizeLimitLeavesNoThreadAndNoNewFile) {
  WriteUserConfig("UsbRedirPlugin.log.configFile = \"~/usbredir-log.conf\"\n");
  WriteLogConfig("logMaxFileSizeMB = 1");
  ASSERT_EQ(mkdir((m_root + "/tmp/quorin-tester").c_str(), 0700), 0);
  std::ofstream(LogPath()) << std::string(1024 * 1024, 'x') << "\n";
  // A first thread makes sanitizer runtimes start their own helper thread now, not later.
  std::thread([] {}).join();
  const long threadsBefore = ThreadCount();
  ASSERT_NO_FATAL_FAILURE(StartHost(false));  // its lines wait in the queue for the next drain
  m_host->Fini();
  for (int i = 0; i < 1000 && ThreadCount() > threadsBefore; ++i) {  // up to 10 s
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

TEST(PluginLibrary, ExportsExactlyTheEightEntryPointsAndHidesTheRest) {
  std::string exported;  // sorted by name
  FILE* out =
      popen("LC_ALL=C nm --defined-only -D -g --format=just-symbols " USBREDIR_PLUGIN_PATH, "r");
  for (char line[4096]; out != nullptr && fgets(line, sizeof(line), out) != nullptr;) {
    exported += line;
  }
  EXPECT_TRUE(out != nullptr && pclose(out) == 0) << "nm failed";
  EXPECT_EQ(
      exported,
      "UsbRedirectionPlugin_Fini\nUsbRedirectionPlugin_Init\nUsbRedirectionProxy_InitVhubCallback\n"
      "UsbRedirectionProxy_Poll\nUsbRedirectionProxy_Register\nUsbRedirectionProxy_SendResponse\n"
      "UsbRedirectionProxy_Stop\nUsbRedirectionProxy_Unregister\n");

  VhubHost failing("/nonexistent/libusbRedirectionPlugin.so");
  std::string error;
  EXPECT_FALSE(failing.Load(&error));
  EXPECT_FALSE(error.empty());
  VhubHost host(USBREDIR_PLUGIN_PATH);  // dlsym of all eight
  ASSERT_TRUE(host.Load(&error)) << error;
  host.Entry().Stop(7);  // before Init: unknown sessions, and no logger yet
  host.Entry().Poll(7, nullptr);
  host.Entry().Unregister(7);
  EXPECT_EQ(host.SendResponse(7, nullptr, 0, USB_REDIR_PACKAGE_TYPE_URB, nullptr), FALSE);
}

// Set-user-id (as root, effective user nobody): no channel service at the fixed path.
TEST(KapServicePath, SetUserIdHostIgnoresTheEnvironment) {
#ifdef USBREDIR_SANITIZED
  GTEST_SKIP() << "the sanitizers' own start-up does not run set-user-id";
#endif
  struct passwd* nobody = getpwnam("nobody");
  if (geteuid() != 0 || nobody == nullptr) {
    GTEST_SKIP() << "giving a program another user's identity needs root and a user nobody";
  }
  char folder[] = "/tmp/usbredir-setuid-XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  ASSERT_EQ(chmod(folder, 0755), 0);
  const std::string probe = std::string(folder) + "/probe";
  ASSERT_EQ(system(("cp " KAPSERVICE_PATH_PROBE " " + probe).c_str()), 0);
  // Logging goes into the folder, where the user nobody cannot write.
  const std::string run = "TMPDIR=" + std::string(folder) +
                          " KAPSERVICE_PATH=" KAPSERVICE_SIM_PATH " " + probe +
                          " " USBREDIR_PLUGIN_PATH;
  int ordinary = system(run.c_str());
  ASSERT_EQ(chown(probe.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
  ASSERT_EQ(chmod(probe.c_str(), 04755), 0);
  int setUserId = system(run.c_str());
  system((std::string("rm -rf ") + folder).c_str());
  EXPECT_TRUE(WIFEXITED(ordinary) && WEXITSTATUS(ordinary) == 0) << ordinary;     // a session
  EXPECT_TRUE(WIFEXITED(setUserId) && WEXITSTATUS(setUserId) == 3) << setUserId;  // none
}

}  // namespace
