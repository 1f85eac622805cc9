// One finished log line, built once per log call and shared by reference count between
// all writers of the logger (and their queues). Immutable after construction, so it is
// safe to read from any thread.
#ifndef LOGGING_LOGMESSAGE_H
#define LOGGING_LOGMESSAGE_H

#include <cstddef>
#include <new>

#include "logging/Level.h"
#include "runtime/RCPtr.h"

class LogMessage : public RCObject {
 public:
  // Copies text[0, length) up to its first NUL and appends "\n" unless the text already ends
  // in one; an empty text becomes "\n". When the copy cannot be allocated the message has a
  // null text and writers print a fixed notice in its place.
  LogMessage(const char* text, size_t length, Level level);
  // The same message with its text in the object's own allocation: one allocation per
  // line on the logging hot path. Null only when even the object cannot be allocated.
  static LogMessage* Create(const char* text, size_t length, Level level);

  // Every message comes from the global operator new (Create's with room for the text
  // behind the object) and goes back through the unsized operator delete.
  static void* operator new(size_t size) { return ::operator new(size); }
  static void* operator new(size_t size, const std::nothrow_t& tag) noexcept {
    return ::operator new(size, tag);
  }
  static void* operator new(size_t /*size*/, void* where) noexcept { return where; }
  static void operator delete(void* p) noexcept { ::operator delete(p); }
  static void operator delete(void* p, const std::nothrow_t& /*tag*/) noexcept {
    ::operator delete(p);
  }
  static void operator delete(void* /*p*/, void* /*where*/) noexcept {}

  const char* m_msg;  // owned, NUL-terminated, ends in '\n'; null if allocation failed
  const Level m_logLevel;

 protected:
  ~LogMessage() override;

 private:
  LogMessage(char* storage, const char* text, size_t length, Level level);

  const bool m_ownsText;  // false when the text lives behind the object

 public:
  LogMessage(const LogMessage&) = delete;
  LogMessage& operator=(const LogMessage&) = delete;
};

typedef RCPtr<LogMessage> LogMessagePtr;

#endif  // LOGGING_LOGMESSAGE_H
