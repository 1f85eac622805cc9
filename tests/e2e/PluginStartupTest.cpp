// The plug-in as the daemon starts it: the level from the user's preference file, the log
// file in the per-user temporary folder with its start-up lines, Init and Fini twice in
// one process, and a log folder that cannot be made.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <future>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "BuildNumber.h"
#include "VhubHost.h"

namespace {

const char* const kPrefix = R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} <[0-9A-F]{8}> \[[0-9A-F]{4,}\] )";

class PluginStartup : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/usbredir-startup-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    m_root = pattern;
    ASSERT_EQ(system(("mkdir -p " + m_root + "/home/.quorin " + m_root + "/tmp").c_str()), 0);
    setenv("HOME", (m_root + "/home").c_str(), 1);
    setenv("TMPDIR", (m_root + "/tmp").c_str(), 1);
    setenv("USER", "tester", 1);
    setenv("KAPSERVICE_PATH", KAPSERVICE_SIM_PATH, 1);
  }
  void TearDown() override { system(("rm -rf " + m_root).c_str()); }

  void WriteUserConfig(const std::string& text) {
    std::ofstream(m_root + "/home/.quorin/config") << text;
  }
  std::string LogPath(bool counted) const {
    return m_root + "/tmp/quorin-tester/quorin-UsbRedirPlugin-" + std::to_string(getpid()) +
           (counted ? "(1)" : "") + ".log";
  }
  static std::vector<std::string> ReadLines(const std::string& path) {
    std::ifstream file(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);) {
      lines.push_back(line);
    }
    return lines;
  }
  static size_t CountMatching(const std::vector<std::string>& lines, const std::string& regex) {
    std::regex re(regex);
    size_t count = 0;
    for (const std::string& line : lines) {
      count += std::regex_match(line, re) ? 1 : 0;
    }
    return count;
  }

  // Init, a session on the current thread that is asked for one URB response before its
  // channel exists (a debug line, then an error line), Fini.
  void RunPlugin() {
    VhubHost host(USBREDIR_PLUGIN_PATH);
    std::string error;
    ASSERT_TRUE(host.Load(&error)) << error;
    host.Init();
    EXPECT_EQ(host.InitVhubCallback(true), TRUE);
    const VhubHost::EntryPoints& entry = host.Entry();
    ASSERT_EQ(entry.Register(5), TRUE);
    USBRedir_SendResponseExt ext{};
    EXPECT_EQ(entry.SendResponse(5, const_cast<char*>("urb"), 3, USB_REDIR_PACKAGE_TYPE_URB, &ext),
              TRUE);
    entry.Unregister(5);
    host.Fini();
  }

  std::string m_root;
};

struct LevelRow {
  const char* name;
  const char* config;
  const char* levelText;
  bool debugLines;
};

// Test names and failure messages show the row's name (not its bytes: padding included,
// they would be read uninitialised).
void PrintTo(const LevelRow& row, std::ostream* out) { *out << row.name; }

class PluginStartupLevel : public PluginStartup,
                           public ::testing::WithParamInterface<LevelRow> {};

TEST_P(PluginStartupLevel, LevelComesFromTheUserConfig) {
  const LevelRow& row = GetParam();
  WriteUserConfig(row.config);
  RunPlugin();
  std::vector<std::string> lines = ReadLines(LogPath(row.debugLines));
  ASSERT_GE(lines.size(), 6u) << LogPath(row.debugLines);

  // The four start-up lines open the file; the first names this build (__DATE__ __TIME__).
  EXPECT_TRUE(std::regex_match(
      lines[0], std::regex(std::string(kPrefix) +
                           "A Logger::LogStartupInfo\\(\\): version=build-" USBREDIR_BUILD_NUMBER
                           " \\([A-Z][a-z]{2} [ 123]\\d \\d{4} \\d\\d:\\d\\d:\\d\\d\\), "
                           "buildtype=release/64-bit")))
      << lines[0];
  EXPECT_NE(lines[1].find(" A "), std::string::npos);
  EXPECT_NE(lines[1].find("OS Version: "), std::string::npos);
  EXPECT_NE(lines[2].find("Time Zone: "), std::string::npos);
  EXPECT_NE(lines[3].find(std::string("Log Level: ") + row.levelText), std::string::npos)
      << lines[3];

  EXPECT_EQ(CountMatching(lines, std::string(kPrefix) +
                                     "I UsbRedirectionPlugin_Init\\(\\): Load "
                                     "libusbRedirectionPlugin\\.so"),
            1u);
  EXPECT_EQ(CountMatching(lines, std::string(kPrefix) +
                                     "I UsbRedirectionPlugin_Fini\\(\\): Unload "
                                     "libusbRedirectionPlugin\\.so"),
            1u);
  EXPECT_EQ(CountMatching(lines, ".* E .*: Something went wrong while calling CreateMessage\\."),
            1u);
  EXPECT_EQ(CountMatching(lines, ".* D .*: Failed to create message \\(hChannel == NULL\\)"),
            row.debugLines ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Levels, PluginStartupLevel,
    ::testing::Values(
        LevelRow{"Debug", "UsbRedirPlugin.log.logLevel = \"DEBUG\"\n", "DEBUG", true},
        LevelRow{"Warning", "UsbRedirPlugin.log.logLevel = \"Warning\"\n", "INFO", false},
        LevelRow{"Absent", "# no level here\nother.key = \"1\"\n", "INFO", false}),
    [](const ::testing::TestParamInfo<LevelRow>& info) { return std::string(info.param.name); });

// A user's config that is a device, a pipe, a folder or too big is skipped whole: Init
// neither blocks nor runs out of memory, and the plug-in starts with its defaults (a
// level read from the oversized file would have been debug).
TEST_F(PluginStartup, UserConfigThatIsNotAPlainFileOfSensibleSizeLeavesTheDefaults) {
  const std::string level = "UsbRedirPlugin.log.logLevel = debug\n";
  std::string big;
  while (big.size() <= 1024 * 1024) {
    big += level;
  }
  const std::string config = m_root + "/home/.quorin/config";
  const struct {
    const char* kind;
    std::function<void()> make;
  } rows[] = {
      {"symbolic link to /dev/zero", [&] { ASSERT_EQ(symlink("/dev/zero", config.c_str()), 0); }},
      {"named pipe", [&] { ASSERT_EQ(mkfifo(config.c_str(), 0600), 0); }},
      {"folder", [&] { ASSERT_EQ(mkdir(config.c_str(), 0700), 0); }},
      {"larger than the limit", [&] { WriteUserConfig(big); }},
      {"line longer than the limit",
       [&] { WriteUserConfig(level + "x = \"" + std::string(70000, 'x') + "\"\n"); }},
  };
  int run = 0;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.kind);
    ASSERT_EQ(system(("rm -rf " + config).c_str()), 0);
    row.make();
    setenv("TMPDIR", (m_root + "/tmp" + std::to_string(++run)).c_str(), 1);
    ASSERT_EQ(mkdir((m_root + "/tmp" + std::to_string(run)).c_str(), 0700), 0);
    auto plugin = std::async(std::launch::async, [&] { RunPlugin(); });
    if (plugin.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
      close(open(config.c_str(), O_WRONLY | O_NONBLOCK));  // let a blocked open go on
      ADD_FAILURE() << "Init blocked";
    }
    plugin.get();
    std::vector<std::string> lines = ReadLines(
        m_root + "/tmp" + std::to_string(run) + "/quorin-tester/quorin-UsbRedirPlugin-" +
        std::to_string(getpid()) + ".log");
    EXPECT_EQ(CountMatching(lines, ".*Log Level: INFO.*"), 1u);
    EXPECT_EQ(CountMatching(lines, ".* I UsbRedirectionPlugin_Init\\(\\): Load .*"), 1u);
  }
}

TEST_F(PluginStartup, InitAndFiniTwiceInOneProcess) {
  RunPlugin();
  RunPlugin();
  std::vector<std::string> lines = ReadLines(LogPath(false));
  EXPECT_EQ(CountMatching(lines, ".*NEW LOG SESSION STARTING.*"), 1u);
  EXPECT_EQ(CountMatching(lines, ".* I UsbRedirectionPlugin_Init\\(\\): Load .*"), 2u);
  EXPECT_EQ(CountMatching(lines, ".* I UsbRedirectionPlugin_Fini\\(\\): Unload .*"), 2u);
  EXPECT_EQ(CountMatching(lines, ".*Logger::LogStartupInfo\\(\\): version=.*"), 2u);
}

TEST_F(PluginStartup, RunsWithoutLoggingWhenTheLogFolderCannotBeMade) {
  // The temporary root is a file, so the per-user folder cannot be created inside it.
  std::ofstream(m_root + "/not-a-folder") << "x";
  setenv("TMPDIR", (m_root + "/not-a-folder").c_str(), 1);
  RunPlugin();  // every call answers as usual
  EXPECT_EQ(access((m_root + "/not-a-folder/quorin-tester").c_str(), F_OK), -1);
}

}  // namespace
