#include <pwd.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "config/Config.h"
#include "config/ConfigTestUtil.h"
#include "config/PathExpand.h"
#include "config/Preference.h"

namespace {

int gSetUserId = 0;
std::atomic<int> gRacers{0};  // Init calls that wait in the hook until they all build a state
int FakeIsSetUserId() {
  if (gRacers.load() > 0) {
    for (gRacers--; gRacers.load() > 0;) std::this_thread::yield();
  }
  return gSetUserId;
}

std::string Owned(char* s) {
  std::string out = s != nullptr ? s : "<null>";
  free(s);
  return out;
}
std::string Get(const std::string& name) {
  return Owned(Preference_GetString(nullptr, name.c_str()));
}

// A temporary tree: host file "etc/config", libdir "lib", HOME "home"; the hooks point at it.
class PreferenceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* home = getenv("HOME");
    m_oldHome = home != nullptr ? home : "";
    setenv("HOME", m_home.c_str(), 1);
    gSetUserId = 0;
    PreferenceTestHooks hooks = {m_hostFile.c_str(), m_libDir.c_str(), &FakeIsSetUserId};
    Preference_SetTestHooks(&hooks);
  }
  void TearDown() override {
    Preference_Exit();
    Preference_SetTestHooks(nullptr);
    setenv("HOME", m_oldHome.c_str(), 1);
  }
  void Write(const std::string& file, const std::string& text) { m_dir.Write(file, text); }

  TempDir m_dir;
  std::string m_home = m_dir.path + "/home", m_hostFile = m_dir.path + "/etc/config",
              m_libDir = m_dir.path + "/lib", m_oldHome;
};

// The host file moves libdir, may switch user files off, and is read up to its first error;
// a missing file is logged and start-up goes on. A call before Init (not after) and a
// set-user-id process skip the user files too.
TEST_F(PreferenceTest, WhichFilesAreRead) {
  LogCapture log;
  Write("home/.quorin/preferences", "user = yes\n");
  Preference_Init();
  EXPECT_TRUE(
      log.Contains("Cannot open file \"" + m_hostFile + "\": No such file or directory.\n"));
  EXPECT_TRUE(log.Contains("PREF Optional preferences file not found at " + m_hostFile +
                           ". Using default values.\n"));
  Preference_DisableUserPreferences();
  EXPECT_EQ("yes", Get("user"));
  Preference_Exit();
  Preference_DisableUserPreferences();
  EXPECT_EQ("<null>", Get("user"));
  Preference_Exit();
  gSetUserId = 1;
  Preference_Init();
  EXPECT_TRUE(log.Contains("setuid: ignoring user's config and preferences\n"));
  EXPECT_EQ("<null>", Get("user"));
  Preference_Exit();
  gSetUserId = 0;
  Write("other/settings", "where = other-settings\n");
  Write("other/config", "site = other-site\n");
  Write("lib/settings", "where = default-lib\n");
  Write("etc/config",
        "libdir = " + m_dir.path +
            "/other\ndisableUserPreferences = TRUE\nbefore = 1\nnot a line\nafter = 2\n");
  Preference_Init();
  EXPECT_EQ("other-settings other-site <null> 1 <null>", Get("where") + " " + Get("site") + " " +
                                                             Get("user") + " " + Get("before") +
                                                             " " + Get("after"));
  EXPECT_TRUE(
      log.Contains("PREF Disabling user preferences because disableUserPreferences is set.\n"));
  EXPECT_EQ(nullptr, Preference_GetState()->fileName[PREFERENCE_SLOT_USER_DEFAULTS]);
  size_t before = log.text.size();
  Preference_Log();
  EXPECT_EQ(std::string::npos, log.text.find("USER", before)) << log.text.substr(before);
}

// Before Init (and after Exit) lookups give the default and say so. Names are formatted and
// cut at 1024 bytes; defaults other than 0, -1 and booleans are registered once; a second
// run-time set keeps the first unless it overwrites.
TEST_F(PreferenceTest, LookupsFormatNamesAndRegisterDefaults) {
  LogCapture log;
  EXPECT_EQ(5, Config_GetLong(5, "early.%s", "name"));
  EXPECT_EQ("dflt", Owned(Config_GetString("dflt", "early.string")));
  EXPECT_TRUE(Preference_NotSet("early.name"));
  EXPECT_EQ(
      "PREF early PreferenceGet(early.name), using default\n"
      "PREF early PreferenceGet(early.string), using default\n",
      log.text);
  Write("etc/config", "t = auto\np = ~/sub/file\nl = 0x20\n");
  Preference_Init();
  EXPECT_FALSE(Config_NotSet("%s", "l"));
  std::ostringstream got;  // operands of << are evaluated in order
  got << +Config_TriToBool(TRUE, Config_GetTriState(1, "t")) << +Config_TriToBool(TRUE, 0) << ' '
      << Owned(Config_GetPathName(nullptr, "p")) << ' '
      << Owned(Config_GetStringPlain(nullptr, "l")) << ' '
      << Owned(Preference_GetString("first", "s")) << ' '
      << Owned(Preference_GetString("second", "s")) << +Preference_NotSet("s") << ' '
      << Preference_GetLong(3, "n") << Preference_GetLong(4, "n") << Preference_GetLong(-1, "m")
      << Preference_GetLong(4, "m") << ' ' << Preference_GetInt64(0, "z")
      << Preference_GetInt64(9, "z") << +Preference_GetBool(TRUE, "b")
      << +Preference_GetBool(FALSE, "b") << ' ' << Preference_GetDouble(1.5, "e")
      << Preference_GetDouble(2.5, "e");
  EXPECT_EQ("10 " + m_home + "/sub/file 0x20 first first1 33-14 0910 1.51.5", got.str());
  Preference_SetFromString((std::string(1023, 'x') + "=long").c_str(), FALSE);
  Preference_SetFromString("dev.3.name=formatted", FALSE);
  EXPECT_EQ("long", Owned(Config_GetString(nullptr, "%s", std::string(1500, 'x').c_str())));
  EXPECT_EQ("formatted", Owned(Config_GetString(nullptr, "dev.%d.%s", 3, "name")));
  Preference_SetFromString("s=runtime", FALSE);
  Preference_SetFromString("s=again", FALSE);
  EXPECT_EQ("runtime", Get("s"));
  EXPECT_FALSE(Preference_NotSet("s"));
  Preference_SetFromString("s=3", TRUE);
  EXPECT_EQ("3", Get("s"));
  Preference_Exit();
  EXPECT_EQ(TRUE, Config_GetBool(TRUE, "late"));
  EXPECT_TRUE(log.Contains("PREF early PreferenceGet(late), using default\n"));
}

// The first slot that defines a name wins. The log writes every slot with its file ("(null)"
// for the run-time one) and its entries as their type shows them, secrets hidden and
// registered defaults left out.
TEST_F(PreferenceTest, SlotsTakePrecedenceInOrderAndAreLogged) {
  Write("lib/settings", "a = settings\n");
  Write("home/.quorin/preferences", "b = prefs\nc = prefs\n");
  Write("home/.quorin/config", "c = user\nd = user\n");
  Write("etc/config",
        "d = host\ne = host\nflag = yes\nnum = 12\ndbl = 1.5\nbig = 5000000000\ntri = auto\n"
        "dataFileKey = s1\nGuestInfo.x = s2\nsome.KEY = s3\nannotation = s4\n");
  Write("lib/config", "e = site\nf = site\n");
  ASSERT_TRUE(Preference_Init());
  Preference_SetFromString("a=runtime", FALSE);
  Preference_SetFromString("b=runtime", FALSE);
  free(Preference_GetString("dflt", "registered"));
  std::ostringstream got;  // in order; the typed lookups convert the entries
  for (const char* name : {"a", "b", "c", "d", "e", "f", "g"}) {
    got << Get(name) << ' ';
  }
  got << +Config_GetBool(FALSE, "flag") << Config_GetLong(0, "num") << Config_GetDouble(0, "dbl")
      << Config_GetInt64(0, "big") << Config_GetTriState(0, "tri");
  EXPECT_EQ("settings runtime prefs user host site <null> 1121.55000000000-1", got.str());
  LogCapture log;
  Preference_Log();
  EXPECT_EQ("DICT --- GLOBAL SETTINGS " + m_libDir + "/settings\n" +
                "DICT                         a = \"settings\"\n"
                "DICT --- NON PERSISTENT (null)\n"
                "DICT                         a = \"runtime\"\n"
                "DICT                         b = \"runtime\"\n"
                "DICT --- USER PREFERENCES " +
                m_home + "/.quorin/preferences\n" +
                "DICT                         b = \"prefs\"\n"
                "DICT                         c = \"prefs\"\n"
                "DICT --- USER DEFAULTS " +
                m_home + "/.quorin/config\n" +
                "DICT                         c = \"user\"\n"
                "DICT                         d = \"user\"\n"
                "DICT --- HOST DEFAULTS " +
                m_hostFile + "\n" +
                "DICT                         d = \"host\"\n"
                "DICT                         e = \"host\"\n"
                "DICT                      flag = \"TRUE\"\n"
                "DICT                       num = \"12\"\n"
                "DICT                       dbl = \"1.5\"\n"
                "DICT                       big = \"5000000000\"\n"
                "DICT                       tri = <unknown parameter type>\n"
                "DICT               dataFileKey = <not printed>\n"
                "DICT               GuestInfo.x = <not printed>\n"
                "DICT                  some.KEY = <not printed>\n"
                "DICT                annotation = <not printed>\n"
                "DICT --- SITE DEFAULTS " +
                m_libDir + "/config\n" +
                "DICT                         e = \"site\"\n"
                "DICT                         f = \"site\"\n",
            log.text);
}

// "~" comes from HOME, or from the password database when HOME is unset or empty; "~user"
// always from the database; anything that cannot be resolved stays as written.
TEST_F(PreferenceTest, HomeFolderExpansion) {
  const passwd* pw = getpwnam("root");
  ASSERT_NE(nullptr, pw);
  std::string got, root = pw->pw_dir;
  for (const char* path : {"", "/abs/~x", "~", "~root/a", "~no-such-user-here/a"}) {
    got += PathExpand_Home(path) + ";";
  }
  EXPECT_EQ(";/abs/~x;" + m_home + ";" + root + "/a;~no-such-user-here/a;", got);
  pw = getpwuid(getuid());
  ASSERT_NE(nullptr, pw);
  setenv("HOME", "", 1);
  EXPECT_EQ(pw->pw_dir + std::string("/a"), PathExpand_Home("~/a"));
  unsetenv("HOME");
  EXPECT_EQ(pw->pw_dir, PathExpand_Home("~"));
}

// Two Init calls build a state each and one is thrown away; lookups and sets agree.
TEST_F(PreferenceTest, ConcurrentInitInstallsOneStateAndLookupsAgree) {
  Write("etc/config", "n = 7\n");
  std::vector<std::thread> threads;
  std::vector<int> seen(8, 0);
  gRacers = 2;
  for (int i = 0; i < 8; i++) {
    threads.emplace_back([i, &seen] {
      Preference_Init();
      for (int j = 0; j < 200; j++) {
        seen[i] += Preference_GetLong(0, "n");
        Preference_SetFromString(("t" + std::to_string(i) + "=" + std::to_string(j)).c_str(), TRUE);
        free(Preference_GetString("d", "shared.default"));
      }
    });
  }
  for (std::thread& t : threads) t.join();
  for (int i = 0; i < 8; i++) {
    EXPECT_EQ(7 * 200, seen[i]);
    EXPECT_EQ("199", Get("t" + std::to_string(i)));
  }
}

}  // namespace
