// The operator's log configuration file, through the exported functions only: the
// preference "UsbRedirPlugin.log.configFile" names it, its level wins over the plug-in's
// own level preference, it switches standard error and syslog on; and a Fini whose last
// flush crosses the file's size limit leaves no thread behind, so the host may unload.
#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "VhubHost.h"
#include "support/FdCapture.h"
#include "support/UdpReceiver.h"

namespace {

int ThreadCount() {
  int count = 0;
  if (DIR* tasks = opendir("/proc/self/task")) {
    while (dirent* entry = readdir(tasks)) {
      count += entry->d_name[0] != '.' ? 1 : 0;
    }
    closedir(tasks);
  }
  return count;
}

class PluginLogConfig : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/usbredir-logcfg-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    m_root = pattern;
    ASSERT_EQ(system(("mkdir -p " + m_root + "/home/.quorin " + m_root + "/tmp").c_str()), 0);
    setenv("HOME", (m_root + "/home").c_str(), 1);
    setenv("TMPDIR", (m_root + "/tmp").c_str(), 1);
    setenv("USER", "tester", 1);
    setenv("KAPSERVICE_PATH", KAPSERVICE_SIM_PATH, 1);
  }
  void TearDown() override { system(("rm -rf " + m_root).c_str()); }

  // The preference names the file with "~"; lines get the plug-in logger's key.
  void Configure(const std::string& preferences, const std::string& settings) {
    std::ofstream(m_root + "/home/.quorin/config")
        << preferences << "UsbRedirPlugin.log.configFile = \"~/usbredir-log.conf\"\n";
    std::ofstream file(m_root + "/home/usbredir-log.conf");
    std::istringstream lines(settings);
    for (std::string line; std::getline(lines, line);) {
      file << "UsbRedirPlugin.UsbRedirPluginLogger." << line << "\n";
    }
  }
  std::string LogPath(const std::string& counter) const {
    return m_root + "/tmp/quorin-tester/quorin-UsbRedirPlugin-" + std::to_string(getpid()) +
           counter + ".log";
  }
  static std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  std::string m_root;
};

}  // namespace

TEST_F(PluginLogConfig, FileSetsTheLevelAndSendsToStandardErrorAndSyslog) {
  UdpReceiver receiver;
  ASSERT_NE(0, receiver.Port());
  Configure("UsbRedirPlugin.log.logLevel = \"error\"\n",
            "logLevel = debug\n"
            "logToStderr = TRUE\n"
            "logToSyslog = TRUE\n"
            "logRemoteAddress = 127.0.0.1\n"
            "logRemotePort = " +
                std::to_string(receiver.Port()));
  FdCapture err(2);
  {
    VhubHost host(USBREDIR_PLUGIN_PATH);
    std::string error;
    ASSERT_TRUE(host.Load(&error)) << error;
    host.Init();
    ASSERT_EQ(host.Entry().Register(5), TRUE);
    USBRedir_SendResponseExt ext{};
    host.Entry().SendResponse(5, const_cast<char*>("urb"), 3, USB_REDIR_PACKAGE_TYPE_URB, &ext);
    host.Entry().Unregister(5);
    host.Fini();
  }
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

TEST_F(PluginLogConfig, WithoutThePreferenceTheLevelLineNamesNoLocation) {
  std::ofstream(m_root + "/home/.quorin/config") << "UsbRedirPlugin.log.logLevel = \"warn\"\n";
  {
    VhubHost host(USBREDIR_PLUGIN_PATH);
    std::string error;
    ASSERT_TRUE(host.Load(&error)) << error;
    host.Init();
    host.Fini();
  }
  EXPECT_NE(std::string::npos, ReadFile(LogPath("")).find("] A Log Level: WARN (read from )\n"));
}

// The last flush of Fini crosses the 1 MB limit the file sets. The roll it used to start
// brought the logging poll thread back after shut-down, in code the host then unmapped.
TEST_F(PluginLogConfig, FiniThatCrossesTheSizeLimitLeavesNoThreadAndNoNewFile) {
  Configure("", "logMaxFileSizeMB = 1");
  ASSERT_EQ(system(("mkdir -p " + m_root + "/tmp/quorin-tester").c_str()), 0);
  std::ofstream(LogPath("")) << std::string(1024 * 1024, 'x') << "\n";
  // A first thread makes sanitizer runtimes start their own helper thread now, not later.
  std::thread([] {}).join();
  const int threadsBefore = ThreadCount();
  {
    VhubHost host(USBREDIR_PLUGIN_PATH);
    std::string error;
    ASSERT_TRUE(host.Load(&error)) << error;
    host.Init();  // the lines it logs wait in the queue for the next second's drain
    host.Fini();
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (ThreadCount() > threadsBefore && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(threadsBefore, ThreadCount());
  }                                                             // dlclose
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // a stray thread would crash here
  EXPECT_NE(std::string::npos,
            ReadFile(LogPath(""))
                .find("I UsbRedirectionPlugin_Fini(): Unload libusbRedirectionPlugin.so\n"));
  EXPECT_NE(0, access(LogPath("(2)").c_str(), F_OK)) << "a file was created after shut-down";
}
