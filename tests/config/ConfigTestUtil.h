// Helpers of the configuration tests: a temporary folder with files, and a capture of the
// configuration log's lines.
#ifndef TESTS_CONFIG_CONFIGTESTUTIL_H
#define TESTS_CONFIG_CONFIGTESTUTIL_H

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "config/BaseLog.h"

// A fresh folder under the temporary folder, removed with its contents.
struct TempDir {
  TempDir() {
    std::string templ = (std::filesystem::temp_directory_path() / "cfg-XXXXXX").string();
    path = mkdtemp(templ.data()) != nullptr ? templ : "";
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
  // Writes bytes to the relative path, creating its folders; answers the full path.
  std::string Write(const std::string& relative, const std::string& bytes) const {
    std::string full = path + "/" + relative;
    std::filesystem::create_directories(std::filesystem::path(full).parent_path());
    std::ofstream(full, std::ios::binary) << bytes;
    return full;
  }
  static std::string Read(const std::string& full) {
    std::ifstream in(full, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  std::string path;
};

// Records every line of the configuration log while it exists (one thread logging).
struct LogCapture {
  LogCapture() {
    BaseLog_SetHookForTest(
        [](const char* line, void* self) { static_cast<LogCapture*>(self)->text += line; }, this);
  }
  ~LogCapture() { BaseLog_SetHookForTest(nullptr, nullptr); }
  // Whether a whole line (ending in its line feed) was logged.
  bool Contains(const std::string& line) const {
    return ("\n" + text).find("\n" + line) != std::string::npos;
  }
  std::string text;  // the lines, each ending in its line feed
};

#endif  // TESTS_CONFIG_CONFIGTESTUTIL_H
