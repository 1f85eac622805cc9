// The plug-in's logger owner, through its log file: the started logger is the process default at
// info, a second start only says so, and an owner that dies holding its logger shuts logging down.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "plugin/UsbRedirectionLogger.h"
#include "support/ScopedTestLogger.h"

TEST(UsbRedirectionLogger, SecondStartOnlySaysSoAndTheOwnersEndFlushesTheFile) {
  char root[] = "/tmp/usbredir-logger-XXXXXX";
  ASSERT_NE(mkdtemp(root), nullptr);
  setenv("TMPDIR", root, 1);
  setenv("USER", "tester", 1);
  ScopedTestLogger::SettlePollThread();
  {
    UsbRedirectionLogger owner;
    ASSERT_TRUE(owner.Start("OwnerApp", "unused.key"));
    EXPECT_EQ(Logger::GetDefault().Ptr(), owner.GetLogger().Ptr());
    EXPECT_EQ(LOGGER_LOG_INFO, Logger::s_defaultLoggerLogLevel);
    EXPECT_TRUE(owner.Start("UsbRedirectionLogger", "OtherApp", "", LOGGER_LOG_VERBOSE, true));
    EXPECT_EQ(LOGGER_LOG_INFO, Logger::s_defaultLoggerLogLevel);  // the first start holds
  }
  EXPECT_EQ(Logger::GetDefault().Ptr(), nullptr);
  UsbRedirectionLogger().Shutdown();  // holds nothing: nothing to do

  std::ostringstream text;
  text << std::ifstream(std::string(root) + "/quorin-tester/quorin-OwnerApp-" +
                        std::to_string(getpid()) + ".log")
              .rdbuf();
  EXPECT_NE(text.str().find("): USBRedirection - Logger started with default FileWriter.\n"),
            std::string::npos);
  EXPECT_NE(
      text.str().find("): Start logging was called after the logger was initialized. Returning.\n"),
      std::string::npos);
  std::filesystem::remove_all(root);
}
