#include "config/PathExpand.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

namespace {

bool LookUpHome(const std::string& user, std::string* home) {
  long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buf(suggested > 0 ? static_cast<size_t>(suggested) : 16384);
  struct passwd pw;
  struct passwd* result = nullptr;
  for (;;) {
    int rc = user.empty() ? getpwuid_r(getuid(), &pw, buf.data(), buf.size(), &result)
                          : getpwnam_r(user.c_str(), &pw, buf.data(), buf.size(), &result);
    if (rc == ERANGE && buf.size() < (1U << 20)) {
      buf.resize(buf.size() * 2);
      continue;
    }
    if (rc != 0 || result == nullptr || pw.pw_dir == nullptr) {
      return false;
    }
    *home = pw.pw_dir;
    return true;
  }
}

}  // namespace

std::string PathExpand_Home(const std::string& path) {
  if (path.empty() || path[0] != '~') {
    return path;
  }
  size_t slash = path.find('/');
  std::string user = path.substr(1, slash == std::string::npos ? std::string::npos : slash - 1);
  std::string rest = slash == std::string::npos ? std::string() : path.substr(slash);
  std::string home;
  if (user.empty()) {
    const char* env = getenv("HOME");
    if (env != nullptr && env[0] != '\0') {
      home = env;
    } else if (!LookUpHome(std::string(), &home)) {
      return path;
    }
  } else if (!LookUpHome(user, &home)) {
    return path;
  }
  return home + rest;
}
