// The plug-in's logger owner, through its log file: the started logger is the process default
// at the level asked for, a second start only says so, and an owner still holding its logger
// when it dies shuts logging down, so every line reaches the file.
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include <gtest/gtest.h>

#include "logging/Log.h"
#include "plugin/UsbRedirectionLogger.h"
#include "support/ScopedTestLogger.h"

TEST(UsbRedirectionLogger, SecondStartOnlySaysSoAndTheOwnersEndFlushesTheFile) {
  char pattern[] = "/tmp/usbredir-logger-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  std::string root = pattern;
  setenv("TMPDIR", root.c_str(), 1);
  setenv("USER", "tester", 1);
  ScopedTestLogger::SettlePollThread();
  {
    UsbRedirectionLogger owner;
    ASSERT_TRUE(owner.Start("OwnerApp", "unused.key"));  // named "UsbRedirectionLogger", info
    ASSERT_NE(owner.GetLogger().Ptr(), nullptr);
    EXPECT_EQ(Logger::GetDefault().Ptr(), owner.GetLogger().Ptr());
    EXPECT_EQ(LOGGER_LOG_INFO, Logger::s_defaultLoggerLogLevel);
    EXPECT_TRUE(owner.Start("UsbRedirectionLogger", "OtherApp", "", LOGGER_LOG_VERBOSE, true));
    EXPECT_EQ(LOGGER_LOG_INFO, Logger::s_defaultLoggerLogLevel);  // the first start holds
    QR_LOG(LOGGER_LOG_DEBUG, "not at info\n");
  }  // still holding its logger: shuts logging down
  EXPECT_EQ(Logger::GetDefault().Ptr(), nullptr);
  UsbRedirectionLogger idle;
  idle.Shutdown();  // holds nothing: nothing to do

  std::ifstream file(root + "/quorin-tester/quorin-OwnerApp-" + std::to_string(getpid()) + ".log");
  std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("): USBRedirection - Logger started with default FileWriter.\n"),
            std::string::npos);
  EXPECT_NE(text.find("): Start logging was called after the logger was initialized. Returning.\n"),
            std::string::npos);
  EXPECT_EQ(text.find("not at info"), std::string::npos);
  system(("rm -rf " + root).c_str());
}
