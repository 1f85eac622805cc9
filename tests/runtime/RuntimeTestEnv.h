// Helpers for runtime tests that touch the environment or the file system: a scoped
// environment variable and a private temporary folder removed with its contents.
#ifndef TESTS_RUNTIME_RUNTIMETESTENV_H
#define TESTS_RUNTIME_RUNTIMETESTENV_H

#include <stdlib.h>

#include <filesystem>
#include <string>

// Sets (or, with a null value, unsets) a variable and restores the old state at scope end.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : m_name(name) {
    const char* old = getenv(name);
    m_hadOld = old != nullptr;
    if (m_hadOld) m_old = old;
    if (value != nullptr) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (m_hadOld) {
      setenv(m_name.c_str(), m_old.c_str(), 1);
    } else {
      unsetenv(m_name.c_str());
    }
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string m_name;
  std::string m_old;
  bool m_hadOld = false;
};

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "rtutils-XXXXXX").string();
    char* made = mkdtemp(&pattern[0]);
    m_path = made != nullptr ? made : "";
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& Path() const { return m_path; }
  std::string Sub(const std::string& name) const { return m_path + "/" + name; }

 private:
  std::string m_path;
};

#endif  // TESTS_RUNTIME_RUNTIMETESTENV_H
