// One finished log line, built once per log call and shared by reference count between
// all writers of the logger (and their queues). Immutable after construction, so it is
// safe to read from any thread. The blocks of short lines are recycled through a bounded
// process-wide pool (lock-free where a message is given back, typically on the drain
// thread; one uncontended mutex where a line is made), so that a busy logging thread
// neither allocates per line nor frees what another thread allocated.
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
  // The same message with its text in the object's own block: no allocation per line on
  // the logging hot path, as a line that fits a pool slot reuses a block that an earlier
  // line gave back. Null only when even the object cannot be allocated. Any thread.
  static LogMessage* Create(const char* text, size_t length, Level level);

  // Every block carries a small header in front of the object that says whether it goes
  // back to the pool (Create's slots) or to the global operator delete.
  static void* operator new(size_t size);
  static void* operator new(size_t size, const std::nothrow_t& tag) noexcept;
  static void* operator new(size_t /*size*/, void* where) noexcept { return where; }
  static void operator delete(void* p) noexcept;
  static void operator delete(void* p, const std::nothrow_t& /*tag*/) noexcept;
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
