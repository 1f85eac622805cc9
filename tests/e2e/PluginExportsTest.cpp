// The plug-in as a host sees it: loaded with dlopen, reached only through exported names;
// and a set-user-id host that ignores KAPSERVICE_PATH.
#include <pwd.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <set>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include "VhubHost.h"

namespace {

// The global symbols the dynamic linker sees are the only ones dlsym can find. Before Init,
// calls on unknown sessions are harmless in any order.
TEST(PluginLibrary, ExportsExactlyTheEightEntryPointsAndHidesTheRest) {
  const std::set<std::string> exports = {
      "UsbRedirectionPlugin_Init",
      "UsbRedirectionPlugin_Fini",
      "UsbRedirectionProxy_InitVhubCallback",
      "UsbRedirectionProxy_Register",
      "UsbRedirectionProxy_Unregister",
      "UsbRedirectionProxy_Poll",
      "UsbRedirectionProxy_Stop",
      "UsbRedirectionProxy_SendResponse",
  };
  std::set<std::string> exported;
  FILE* out = popen("nm --defined-only -D -g " USBREDIR_PLUGIN_PATH, "r");
  char line[4096];
  while (out != nullptr && fgets(line, sizeof(line), out) != nullptr) {
    std::istringstream fields(line);
    std::string address, type, name;
    if (fields >> address >> type >> name) exported.insert(name);
  }
  EXPECT_TRUE(out != nullptr && pclose(out) == 0) << "nm failed";
  EXPECT_EQ(exported, exports);

  VhubHost failing("/nonexistent/libusbRedirectionPlugin.so");
  std::string error;
  EXPECT_FALSE(failing.Load(&error));
  EXPECT_FALSE(error.empty());
  VhubHost host(USBREDIR_PLUGIN_PATH);  // dlsym of all eight
  ASSERT_TRUE(host.Load(&error)) << error;
  const VhubHost::EntryPoints& entry = host.Entry();
  entry.Stop(7);
  entry.Poll(7, nullptr);  // returns at once
  entry.Unregister(7);
  char payload[4] = {1, 2, 3, 4};
  EXPECT_EQ(entry.SendResponse(7, payload, 4, USB_REDIR_PACKAGE_TYPE_URB, nullptr), FALSE);
  EXPECT_EQ(entry.SendResponse(7, nullptr, 0, USB_REDIR_PACKAGE_TYPE_PROPBAG, nullptr), FALSE);
}

// Run set-user-id (here: as root, with the effective user nobody), the plug-in finds no
// channel service, since none is installed at the fixed path.
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
