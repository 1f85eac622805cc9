// Helpers of the configuration tests: a temporary folder with files, and a capture of the
// configuration log's lines.
#ifndef TESTS_CONFIG_CONFIGTESTUTIL_H
#define TESTS_CONFIG_CONFIGTESTUTIL_H

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "config/BaseLog.h"

class TempDir {
 public:
  TempDir() {
    const char* base = getenv("TMPDIR");
    std::string templ =
        std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") + "/configtest-XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) != nullptr) {
      m_path = buf.data();
    }
  }
  ~TempDir() {
    if (!m_path.empty()) {
      std::string cmd = "rm -rf '" + m_path + "'";
      if (system(cmd.c_str()) != 0) {
        fprintf(stderr, "could not remove %s\n", m_path.c_str());
      }
    }
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& Path() const { return m_path; }

  // Writes bytes to the relative path, creating its folders.
  std::string Write(const std::string& relative, const std::string& bytes) const {
    std::string full = m_path + "/" + relative;
    for (size_t pos = full.find('/', m_path.size() + 1); pos != std::string::npos;
         pos = full.find('/', pos + 1)) {
      mkdir(full.substr(0, pos).c_str(), 0700);
    }
    std::ofstream out(full, std::ios::binary | std::ios::trunc);
    out << bytes;
    return full;
  }

  static std::string Read(const std::string& full) {
    std::ifstream in(full, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }

 private:
  std::string m_path;
};

// Records every line of the configuration log while it exists.
class LogCapture {
 public:
  LogCapture() { BaseLog_SetHookForTest(&LogCapture::Hook, this); }
  ~LogCapture() { BaseLog_SetHookForTest(nullptr, nullptr); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<std::string> Lines() {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_lines;
  }
  bool Contains(const std::string& line) {
    for (const std::string& l : Lines()) {
      if (l == line) {
        return true;
      }
    }
    return false;
  }

 private:
  static void Hook(const char* line, void* ctx) {
    LogCapture* self = static_cast<LogCapture*>(ctx);
    std::lock_guard<std::mutex> guard(self->m_mutex);
    self->m_lines.push_back(line);
  }

  std::mutex m_mutex;
  std::vector<std::string> m_lines;
};

#endif  // TESTS_CONFIG_CONFIGTESTUTIL_H
