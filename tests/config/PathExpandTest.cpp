#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "config/PathExpand.h"

namespace {

std::string HomeOf(const passwd* pw) { return pw != nullptr ? pw->pw_dir : "?"; }

// "~" comes from HOME, or from the password database when HOME is unset or empty;
// "~user" always from the database; anything that cannot be resolved stays as written.
TEST(PathExpand, HomeOfTheCallerAndOfNamedUsers) {
  const char* saved = getenv("HOME");
  std::string savedHome = saved != nullptr ? saved : "";
  std::string own = HomeOf(getpwuid(getuid()));
  std::string root = HomeOf(getpwnam("root"));
  struct Row {
    const char* home;  // null: unset
    const char* path;
    std::string expected;
  } rows[] = {
      {"/h", "", ""},
      {"/h", "/abs/~x", "/abs/~x"},
      {"/h", "~", "/h"},
      {"/h", "~/a/b", "/h/a/b"},
      {"", "~/a", own + "/a"},
      {nullptr, "~", own},
      {"/h", "~root/a", root + "/a"},
      {"/h", "~no-such-user-here/a", "~no-such-user-here/a"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path);
    if (row.home != nullptr) {
      setenv("HOME", row.home, 1);
    } else {
      unsetenv("HOME");
    }
    EXPECT_EQ(row.expected, PathExpand_Home(row.path));
  }
  if (saved != nullptr) {
    setenv("HOME", savedHome.c_str(), 1);
  } else {
    unsetenv("HOME");
  }
}

}  // namespace
