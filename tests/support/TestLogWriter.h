// A log writer for tests that records every line it receives, unbuffered unless switched.
// Thread safe: the recorded lines have a mutex of their own.
#ifndef TESTS_SUPPORT_TESTLOGWRITER_H
#define TESTS_SUPPORT_TESTLOGWRITER_H

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "logging/LogWriter.h"

class TestLogWriter : public LogWriter {
 public:
  // The debug slot comes first in type order, so this writer's prefix builds the line
  // even when the logger also has a file writer.
  explicit TestLogWriter(LogWriterType type = LOG_WRITER_DEBUG) : LogWriter(type) {}

  bool OnInit() override { return m_initResult; }
  bool WriteMessage(const RCPtr<LogMessage>& msg) override;
  bool OnClose() override { return true; }

  // Whole lines as written, and their levels.
  std::vector<std::string> Lines() const;
  std::vector<Level> Levels() const;
  // The text of each line after its prefix (and separator line), without the final newline.
  std::vector<std::string> Messages() const;
  // Whether some message text equals text (a final "\n" in text is ignored).
  bool HasMessage(const std::string& text) const;
  std::vector<std::string> LinesContaining(const std::string& fragment) const;
  std::vector<std::string> MessagesContaining(const std::string& fragment) const;
  int CountContaining(const std::string& fragment) const {
    return static_cast<int>(MessagesContaining(fragment).size());
  }
  size_t Count() const { return Lines().size(); }
  void Clear();

  // Set before the logger starts.
  void SetInitResult(bool result) { m_initResult = result; }
  // Called inside WriteMessage (on the logging thread, under the logging lock).
  void SetOnWrite(std::function<void(const std::string&)> hook) { m_onWrite = std::move(hook); }

 protected:
  ~TestLogWriter() override = default;

 private:
  mutable std::mutex m_mutex;
  std::vector<std::string> m_lines;  // guarded by m_mutex
  std::vector<Level> m_levels;       // guarded by m_mutex
  std::function<void(const std::string&)> m_onWrite;
  bool m_initResult = true;
};

typedef RCPtr<TestLogWriter> TestLogWriterPtr;

#endif  // TESTS_SUPPORT_TESTLOGWRITER_H
