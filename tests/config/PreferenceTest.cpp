#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "config/Config.h"
#include "config/ConfigTestUtil.h"
#include "config/Dictionary.h"
#include "config/Preference.h"

namespace {

int gSetUserId = 0;
int FakeIsSetUserId() { return gSetUserId; }

// A temporary tree with the host file, the libdir files and a home folder, the hooks
// pointing at it, and HOME set to the home folder.
class PreferenceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Preference_Exit();
    const char* home = getenv("HOME");
    m_hadHome = home != nullptr;
    if (m_hadHome) {
      m_oldHome = home;
    }
    m_home = m_dir.Path() + "/home";
    m_hostFile = m_dir.Path() + "/etc/config";
    m_libDir = m_dir.Path() + "/lib";
    setenv("HOME", m_home.c_str(), 1);
    gSetUserId = 0;
    PreferenceTestHooks hooks = {m_hostFile.c_str(), m_libDir.c_str(), &FakeIsSetUserId};
    Preference_SetTestHooks(&hooks);
  }

  void TearDown() override {
    Preference_Exit();
    Preference_SetTestHooks(nullptr);
    if (m_hadHome) {
      setenv("HOME", m_oldHome.c_str(), 1);
    } else {
      unsetenv("HOME");
    }
  }

  void WriteHost(const std::string& text) { m_dir.Write("etc/config", text); }
  void WriteSettings(const std::string& text) { m_dir.Write("lib/settings", text); }
  void WriteSite(const std::string& text) { m_dir.Write("lib/config", text); }
  void WriteUserConfig(const std::string& text) { m_dir.Write("home/.quorin/config", text); }
  void WriteUserPrefs(const std::string& text) { m_dir.Write("home/.quorin/preferences", text); }

  static std::string GetString(const char* name) {
    char* v = Preference_GetString(nullptr, name);
    std::string out = v != nullptr ? v : "<null>";
    free(v);
    return out;
  }

  TempDir m_dir;
  std::string m_home;
  std::string m_hostFile;
  std::string m_libDir;
  std::string m_oldHome;
  bool m_hadHome = false;
};

TEST_F(PreferenceTest, SlotsTakePrecedenceInOrder) {
  WriteSettings("k0 = settings\n");
  WriteUserPrefs("k0 = prefs\nk1 = prefs\nk2 = prefs\n");
  WriteUserConfig("k0 = userconfig\nk1 = userconfig\nk2 = userconfig\nk3 = userconfig\n");
  WriteHost("k0 = host\nk1 = host\nk2 = host\nk3 = host\nk4 = host\n");
  WriteSite("k0 = site\nk1 = site\nk2 = site\nk3 = site\nk4 = site\nk5 = site\n");
  ASSERT_TRUE(Preference_Init());
  Preference_SetFromString("k0=runtime", FALSE);
  Preference_SetFromString("k1=runtime", FALSE);

  EXPECT_EQ("settings", GetString("k0"));
  EXPECT_EQ("runtime", GetString("k1"));
  EXPECT_EQ("prefs", GetString("k2"));
  EXPECT_EQ("userconfig", GetString("k3"));
  EXPECT_EQ("host", GetString("k4"));
  EXPECT_EQ("site", GetString("k5"));
  EXPECT_EQ("<null>", GetString("k6"));

  Preference* state = Preference_GetState();
  ASSERT_NE(nullptr, state);
  EXPECT_EQ(m_libDir + "/settings", state->fileName[PREFERENCE_SLOT_GLOBAL_SETTINGS]);
  EXPECT_EQ(nullptr, state->fileName[PREFERENCE_SLOT_NON_PERSISTENT]);
  EXPECT_EQ(m_home + "/.quorin/preferences", state->fileName[PREFERENCE_SLOT_USER_PREFERENCES]);
  EXPECT_EQ(m_home + "/.quorin/config", state->fileName[PREFERENCE_SLOT_USER_DEFAULTS]);
  EXPECT_EQ(m_hostFile, state->fileName[PREFERENCE_SLOT_HOST_DEFAULTS]);
  EXPECT_EQ(m_libDir + "/config", state->fileName[PREFERENCE_SLOT_SITE_DEFAULTS]);
}

TEST_F(PreferenceTest, LibdirOfTheHostFileMovesTheProductFiles) {
  m_dir.Write("other/settings", "where = other-settings\n");
  m_dir.Write("other/config", "site = other-site\n");
  WriteSettings("where = default-lib\n");
  WriteHost("libdir = " + m_dir.Path() + "/other\n");
  Preference_Init();
  EXPECT_EQ("other-settings", GetString("where"));
  EXPECT_EQ("other-site", GetString("site"));
}

TEST_F(PreferenceTest, DisableUserPreferencesInTheHostFileSkipsTheUserFiles) {
  WriteHost("disableUserPreferences = TRUE\n");
  WriteUserPrefs("user = yes\n");
  LogCapture log;
  Preference_Init();
  EXPECT_TRUE(
      log.Contains("PREF Disabling user preferences because disableUserPreferences is set.\n"));
  Preference* state = Preference_GetState();
  EXPECT_EQ(nullptr, state->fileName[PREFERENCE_SLOT_USER_PREFERENCES]);
  EXPECT_EQ(nullptr, state->fileName[PREFERENCE_SLOT_USER_DEFAULTS]);
  EXPECT_EQ("<null>", GetString("user"));
}

TEST_F(PreferenceTest, DisableUserPreferencesCallOnlyCountsBeforeInit) {
  WriteUserPrefs("user = yes\n");
  Preference_DisableUserPreferences();
  EXPECT_EQ("<null>", GetString("user"));
  Preference_Exit();

  Preference_Init();
  Preference_DisableUserPreferences();
  EXPECT_EQ("yes", GetString("user"));
}

TEST_F(PreferenceTest, SetUserIdProcessIgnoresTheUserFiles) {
  WriteUserConfig("user = yes\n");
  gSetUserId = 1;
  LogCapture log;
  Preference_Init();
  EXPECT_TRUE(log.Contains("setuid: ignoring user's config and preferences\n"));
  EXPECT_EQ("<null>", GetString("user"));
}

TEST_F(PreferenceTest, MissingFilesAreLoggedAndStartUpContinues) {
  WriteSite("site = 1\n");
  LogCapture log;
  Preference_Init();
  EXPECT_TRUE(
      log.Contains("Cannot open file \"" + m_hostFile + "\": No such file or directory.\n"));
  EXPECT_TRUE(log.Contains("PREF Optional preferences file not found at " + m_hostFile +
                           ". Using default values.\n"));
  EXPECT_EQ(1, Preference_GetLong(0, "site"));
}

TEST_F(PreferenceTest, BrokenFileKeepsWhatWasReadBeforeTheError) {
  WriteHost("before = 1\nnot a line\nafter = 2\n");
  Preference_Init();
  EXPECT_EQ("1", GetString("before"));
  EXPECT_EQ("<null>", GetString("after"));
}

TEST_F(PreferenceTest, EarlyLookupReturnsTheDefaultAndLogsIt) {
  LogCapture log;
  EXPECT_EQ(5, Config_GetLong(5, "early.%s", "name"));
  char* s = Config_GetString("dflt", "early.string");
  EXPECT_STREQ("dflt", s);
  free(s);
  EXPECT_TRUE(Preference_NotSet("early.name"));
  EXPECT_TRUE(log.Contains("PREF early PreferenceGet(early.name), using default\n"));
  EXPECT_TRUE(log.Contains("PREF early PreferenceGet(early.string), using default\n"));

  // The same after Exit.
  Preference_Init();
  Preference_Exit();
  EXPECT_EQ(TRUE, Config_GetBool(TRUE, "late"));
  EXPECT_TRUE(log.Contains("PREF early PreferenceGet(late), using default\n"));
}

TEST_F(PreferenceTest, PluginLogLevelWithAndWithoutAFile) {
  Preference_Init();
  EXPECT_EQ(nullptr, Config_GetString(NULL, "UsbRedirPlugin.log.logLevel"));
  Preference_Exit();

  WriteHost("UsbRedirPlugin.log.logLevel = \"debug\"\n");
  Preference_Init();
  char* level = Config_GetString(NULL, "UsbRedirPlugin.log.logLevel");
  EXPECT_STREQ("debug", level);
  free(level);
  EXPECT_FALSE(Config_NotSet("UsbRedirPlugin.%s.logLevel", "log"));
}

TEST_F(PreferenceTest, TypedLookupsConvertAndFallBackToTheDefault) {
  WriteHost(
      "b.word = maybe\nb.ok = off\nl = 0x20\ni = 8589934592\nd = 2.5\nt = auto\n"
      "p = ~/sub/file\n");
  Preference_Init();
  EXPECT_EQ(TRUE, Config_GetBool(TRUE, "b.word"));
  EXPECT_EQ(FALSE, Config_GetBool(TRUE, "b.ok"));
  EXPECT_EQ(32, Config_GetLong(0, "l"));
  EXPECT_EQ(8589934592LL, Config_GetInt64(0, "i"));
  EXPECT_EQ(2.5, Config_GetDouble(0, "d"));
  EXPECT_EQ(-1, Config_GetTriState(1, "t"));
  EXPECT_EQ(TRUE, Config_TriToBool(TRUE, Config_GetTriState(1, "t")));
  EXPECT_EQ(FALSE, Config_TriToBool(TRUE, 0));
  char* p = Config_GetPathName(nullptr, "p");
  EXPECT_EQ(m_home + "/sub/file", std::string(p != nullptr ? p : ""));
  free(p);
  char* s = Config_GetStringPlain(nullptr, "l");
  EXPECT_STREQ("0x20", s);
  free(s);
}

TEST_F(PreferenceTest, DefaultsAreRegisteredOnceExceptZeroMinusOneAndBooleans) {
  Preference_Init();
  char* s = Preference_GetString("first", "s");
  EXPECT_STREQ("first", s);
  free(s);
  s = Preference_GetString("second", "s");
  EXPECT_STREQ("first", s);
  free(s);
  EXPECT_TRUE(Preference_NotSet("s"));

  EXPECT_EQ(3, Preference_GetLong(3, "l"));
  EXPECT_EQ(3, Preference_GetLong(4, "l"));
  EXPECT_EQ(-1, Preference_GetLong(-1, "m"));
  EXPECT_EQ(4, Preference_GetLong(4, "m"));
  EXPECT_EQ(0, Preference_GetInt64(0, "z"));
  EXPECT_EQ(9, Preference_GetInt64(9, "z"));
  EXPECT_EQ(TRUE, Preference_GetBool(TRUE, "b"));
  EXPECT_EQ(FALSE, Preference_GetBool(FALSE, "b"));
  EXPECT_EQ(1.5, Preference_GetDouble(1.5, "d"));
  EXPECT_EQ(1.5, Preference_GetDouble(2.5, "d"));

  // A registered default does not hide a value set later at run time.
  Preference_SetFromString("s=runtime", FALSE);
  EXPECT_EQ("runtime", GetString("s"));
  EXPECT_FALSE(Preference_NotSet("s"));
}

TEST_F(PreferenceTest, SetFromStringKeepsOrReplacesTheRunTimeValue) {
  WriteSite("site = file\n");
  Preference_Init();
  Preference_SetFromString("a=1", FALSE);
  Preference_SetFromString("a=2", FALSE);
  EXPECT_EQ("1", GetString("a"));
  Preference_SetFromString("a=3", TRUE);
  EXPECT_EQ("3", GetString("a"));
  // The run-time slot comes before the site defaults.
  Preference_SetFromString("site=runtime", FALSE);
  EXPECT_EQ("runtime", GetString("site"));
}

TEST_F(PreferenceTest, ConfigNamesAreFormattedAndCutAt1024Bytes) {
  Preference_Init();
  std::string cut(1023, 'x');
  Preference_SetFromString((cut + "=long").c_str(), FALSE);
  Preference_SetFromString("dev.3.name=formatted", FALSE);
  std::string longer(1500, 'x');
  char* v = Config_GetString(nullptr, "%s", longer.c_str());
  EXPECT_STREQ("long", v);
  free(v);
  v = Config_GetString(nullptr, "dev.%d.%s", 3, "name");
  EXPECT_STREQ("formatted", v);
  free(v);
}

TEST_F(PreferenceTest, LogWritesEverySlotWithItsFileAndEntries) {
  WriteSettings("g = 1\n");
  WriteHost("h = host\nsecret.key = hidden\n");
  Preference_Init();
  Preference_SetFromString("r=run", FALSE);
  free(Preference_GetString("dflt", "registered"));
  LogCapture log;
  Preference_Log();
  std::vector<std::string> expected = {
      "DICT --- GLOBAL SETTINGS " + m_libDir + "/settings\n",
      "DICT                         g = \"1\"\n",
      "DICT --- NON PERSISTENT (null)\n",
      "DICT                         r = \"run\"\n",
      "DICT --- USER PREFERENCES " + m_home + "/.quorin/preferences\n",
      "DICT --- USER DEFAULTS " + m_home + "/.quorin/config\n",
      "DICT --- HOST DEFAULTS " + m_hostFile + "\n",
      "DICT                         h = \"host\"\n",
      "DICT                secret.key = <not printed>\n",
      "DICT --- SITE DEFAULTS " + m_libDir + "/config\n"};
  EXPECT_EQ(expected, log.Lines());

  Preference_Exit();
  WriteHost("disableUserPreferences = yes\n");
  Preference_Init();
  LogCapture log2;
  Preference_Log();
  for (const std::string& line : log2.Lines()) {
    EXPECT_EQ(std::string::npos, line.find("USER")) << line;
  }
}

TEST_F(PreferenceTest, ConcurrentInitInstallsOneStateAndLookupsAgree) {
  WriteHost("n = 7\n");
  std::vector<std::thread> threads;
  std::vector<int> seen(8, 0);
  for (int i = 0; i < 8; i++) {
    threads.emplace_back([i, &seen] {
      Preference_Init();
      int sum = 0;
      for (int j = 0; j < 200; j++) {
        sum += Preference_GetLong(0, "n");
        Preference_SetFromString(("t" + std::to_string(i) + "=" + std::to_string(j)).c_str(), TRUE);
        char* s = Preference_GetString("d", "shared.default");
        free(s);
      }
      seen[i] = sum;
    });
  }
  for (std::thread& t : threads) {
    t.join();
  }
  for (int i = 0; i < 8; i++) {
    EXPECT_EQ(7 * 200, seen[i]);
    EXPECT_EQ(std::to_string(199), GetString(("t" + std::to_string(i)).c_str()));
  }
}

}  // namespace
