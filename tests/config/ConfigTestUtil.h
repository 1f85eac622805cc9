// Helpers of the configuration tests: a temporary folder with files, and a capture of the
// configuration log's lines.
#ifndef TESTS_CONFIG_CONFIGTESTUTIL_H
#define TESTS_CONFIG_CONFIGTESTUTIL_H

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
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

// Records every line of the configuration log while it exists (one thread logging).
struct LogCapture {
  LogCapture() {
    BaseLog_SetHookForTest(
        [](const char* line, void* ctx) { static_cast<LogCapture*>(ctx)->lines.push_back(line); },
        this);
  }
  ~LogCapture() { BaseLog_SetHookForTest(nullptr, nullptr); }
  bool Contains(const std::string& line) const {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  }
  std::vector<std::string> lines;
};

#endif  // TESTS_CONFIG_CONFIGTESTUTIL_H
