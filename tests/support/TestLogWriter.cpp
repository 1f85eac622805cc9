#include "support/TestLogWriter.h"

#include <regex>

TestLogWriter::TestLogWriter(LogWriterType type) : LogWriter(type) {}

bool TestLogWriter::WriteMessage(const RCPtr<LogMessage>& msg) {
  std::string line =
      msg->m_msg != nullptr ? msg->m_msg : "Failed to allocate memory for log message\n";
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lines.push_back(line);
    m_levels.push_back(msg->m_logLevel);
  }
  if (m_onWrite) {
    m_onWrite(line);
  }
  return true;
}

void TestLogWriter::SetOnWrite(std::function<void(const std::string&)> hook) {
  m_onWrite = std::move(hook);
}

std::string TestLogWriter::StripPrefix(const std::string& line) {
  static const std::regex kPrefix(
      "^(-{39}\\n)?\\d{4}-\\d{2}-\\d{2}[ T]\\d{2}:\\d{2}:\\d{2}\\.\\d{3}Z? <[0-9A-F]{8,}> "
      "\\[[0-9A-F]{4,}\\] [AEWIDTVN] [^\\n]*?: ");
  std::smatch match;
  std::string text = line;
  if (std::regex_search(line, match, kPrefix)) {
    text = line.substr(static_cast<size_t>(match.length(0)));
  }
  if (!text.empty() && text.back() == '\n') {
    text.pop_back();
  }
  return text;
}

std::vector<std::string> TestLogWriter::Lines() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_lines;
}

std::vector<std::string> TestLogWriter::Messages() const {
  std::vector<std::string> messages;
  for (const std::string& line : Lines()) {
    messages.push_back(StripPrefix(line));
  }
  return messages;
}

std::vector<Level> TestLogWriter::Levels() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_levels;
}

bool TestLogWriter::HasMessage(const std::string& text) const {
  std::string wanted = text;
  if (!wanted.empty() && wanted.back() == '\n') {
    wanted.pop_back();
  }
  for (const std::string& message : Messages()) {
    if (message == wanted) {
      return true;
    }
  }
  return false;
}

std::vector<std::string> TestLogWriter::LinesContaining(const std::string& fragment) const {
  std::vector<std::string> lines;
  for (const std::string& line : Lines()) {
    if (line.find(fragment) != std::string::npos) {
      lines.push_back(line);
    }
  }
  return lines;
}

std::vector<std::string> TestLogWriter::MessagesContaining(const std::string& fragment) const {
  std::vector<std::string> messages;
  for (const std::string& message : Messages()) {
    if (message.find(fragment) != std::string::npos) {
      messages.push_back(message);
    }
  }
  return messages;
}

int TestLogWriter::CountContaining(const std::string& fragment) const {
  int count = 0;
  for (const std::string& message : Messages()) {
    if (message.find(fragment) != std::string::npos) {
      ++count;
    }
  }
  return count;
}

size_t TestLogWriter::Count() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_lines.size();
}

void TestLogWriter::Clear() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_lines.clear();
  m_levels.clear();
}
