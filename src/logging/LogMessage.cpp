#include "logging/LogMessage.h"

#include <cstdlib>
#include <cstring>

namespace {

char* CopyWithNewline(const char* text, size_t length) {
  // Writers take the line as a C string: a NUL inside (a "%c" of 0) would end it before its
  // line end, and the next line would run on from it.
  length = strnlen(text, length);
  bool addNewline = length == 0 || text[length - 1] != '\n';
  char* copy = static_cast<char*>(std::malloc(length + (addNewline ? 2 : 1)));
  if (copy == nullptr) {
    return nullptr;
  }
  if (length > 0) {
    std::memcpy(copy, text, length);
  }
  if (addNewline) {
    copy[length++] = '\n';
  }
  copy[length] = '\0';
  return copy;
}

}  // namespace

LogMessage::LogMessage(const char* text, size_t length, Level level)
    : m_msg(text != nullptr ? CopyWithNewline(text, length) : nullptr), m_logLevel(level) {}

LogMessage::~LogMessage() { std::free(const_cast<char*>(m_msg)); }
