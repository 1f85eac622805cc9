// Helpers of the configuration tests: a temporary folder with files, and a capture of the
// configuration log's lines.
#ifndef TESTS_CONFIG_CONFIGTESTUTIL_H
#define TESTS_CONFIG_CONFIGTESTUTIL_H

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "config/BaseLog.h"

class TempDir {
 public:
  TempDir() {
    const char* base = getenv("TMPDIR");
    std::string templ =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/cfg-XXXXXX";
    m_path = mkdtemp(templ.data()) != nullptr ? templ : "";
  }
  ~TempDir() {
    std::error_code ignored;
    if (!m_path.empty()) std::filesystem::remove_all(m_path, ignored);
  }
  const std::string& Path() const { return m_path; }
  // Writes bytes to the relative path, creating its folders; answers the full path.
  std::string Write(const std::string& relative, const std::string& bytes) const {
    std::string full = m_path + "/" + relative;
    std::filesystem::create_directories(std::filesystem::path(full).parent_path());
    std::ofstream(full, std::ios::binary | std::ios::trunc) << bytes;
    return full;
  }
  static std::string Read(const std::string& full) {
    std::ostringstream out;
    out << std::ifstream(full, std::ios::binary).rdbuf();
    return out.str();
  }

 private:
  std::string m_path;
};

// Records every line of the configuration log while it exists.
class LogCapture {
 public:
  LogCapture() { BaseLog_SetHookForTest(&LogCapture::Hook, this); }
  ~LogCapture() { BaseLog_SetHookForTest(nullptr, nullptr); }
  std::vector<std::string> Lines() {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_lines;
  }
  bool Contains(const std::string& line) {
    std::vector<std::string> lines = Lines();
    return std::find(lines.begin(), lines.end(), line) != lines.end();
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
