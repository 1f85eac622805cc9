#include "logging/LogMessage.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace {

bool NeedsNewline(const char* text, size_t length) {
  return length == 0 || text[length - 1] != '\n';
}

// Copies the text into copy (room for length + 2) with the newline rule; returns copy.
char* CopyWithNewline(char* copy, const char* text, size_t length) {
  // Writers take the line as a C string: a NUL inside (a "%c" of 0) would end it before its
  // line end, and the next line would run on from it. The text stops at the NUL.
  length = strnlen(text, length);
  if (length > 0) {
    std::memcpy(copy, text, length);
  }
  if (NeedsNewline(text, length)) {
    copy[length++] = '\n';
  }
  copy[length] = '\0';
  return copy;
}

char* HeapCopy(const char* text, size_t length) {
  char* copy = static_cast<char*>(std::malloc(length + (NeedsNewline(text, length) ? 2 : 1)));
  return copy != nullptr ? CopyWithNewline(copy, text, length) : nullptr;
}

}  // namespace

LogMessage::LogMessage(const char* text, size_t length, Level level)
    : m_msg(text != nullptr ? HeapCopy(text, length) : nullptr),
      m_logLevel(level),
      m_ownsText(true) {}

LogMessage::LogMessage(char* storage, const char* text, size_t length, Level level)
    : m_msg(CopyWithNewline(storage, text, length)), m_logLevel(level), m_ownsText(false) {}

LogMessage* LogMessage::Create(const char* text, size_t length, Level level) {
  if (text == nullptr) {
    return new (std::nothrow) LogMessage(text, length, level);
  }
  void* raw = ::operator new(sizeof(LogMessage) + length + 2, std::nothrow);
  if (raw == nullptr) {
    // Without room for the text, the line still travels with the fixed notice.
    return new (std::nothrow) LogMessage(nullptr, 0, level);
  }
  return new (raw) LogMessage(static_cast<char*>(raw) + sizeof(LogMessage), text, length, level);
}

LogMessage::~LogMessage() {
  if (m_ownsText) {
    std::free(const_cast<char*>(m_msg));
  }
}
