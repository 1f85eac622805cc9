#include "support/TestLogWriter.h"

#include <algorithm>
#include <iterator>
#include <regex>

namespace {

std::vector<std::string> Containing(const std::vector<std::string>& texts,
                                    const std::string& fragment) {
  std::vector<std::string> found;
  std::copy_if(texts.begin(), texts.end(), std::back_inserter(found),
               [&](const std::string& text) { return text.find(fragment) != std::string::npos; });
  return found;
}

// The text after the prefix (and separator line), without the final newline.
std::string StripPrefix(const std::string& line) {
  static const std::regex kPrefix(
      "^(-{39}\\n)?\\d{4}-\\d{2}-\\d{2}[ T]\\d{2}:\\d{2}:\\d{2}\\.\\d{3}Z? <[0-9A-F]{8,}> "
      "\\[[0-9A-F]{4,}\\] [AEWIDTVN] [^\\n]*?: ");
  std::string text = std::regex_replace(line, kPrefix, "", std::regex_constants::format_first_only);
  if (!text.empty() && text.back() == '\n') {
    text.pop_back();
  }
  return text;
}

}  // namespace

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

std::vector<std::string> TestLogWriter::Lines() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_lines;
}

std::vector<Level> TestLogWriter::Levels() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_levels;
}

std::vector<std::string> TestLogWriter::Messages() const {
  std::vector<std::string> messages = Lines();
  std::transform(messages.begin(), messages.end(), messages.begin(), &StripPrefix);
  return messages;
}

bool TestLogWriter::HasMessage(const std::string& text) const {
  const std::string wanted =
      text.empty() || text.back() != '\n' ? text : text.substr(0, text.size() - 1);
  std::vector<std::string> messages = Messages();
  return std::find(messages.begin(), messages.end(), wanted) != messages.end();
}

std::vector<std::string> TestLogWriter::LinesContaining(const std::string& fragment) const {
  return Containing(Lines(), fragment);
}

std::vector<std::string> TestLogWriter::MessagesContaining(const std::string& fragment) const {
  return Containing(Messages(), fragment);
}

void TestLogWriter::Clear() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_lines.clear();
  m_levels.clear();
}
