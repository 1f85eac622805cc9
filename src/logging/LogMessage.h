// One finished log line, built once per log call and shared by reference count between
// all writers of the logger (and their queues). Immutable after construction, so it is
// safe to read from any thread.
#ifndef LOGGING_LOGMESSAGE_H
#define LOGGING_LOGMESSAGE_H

#include <cstddef>

#include "logging/Level.h"
#include "runtime/RCPtr.h"

class LogMessage : public RCObject {
 public:
  // Copies text[0, length) up to its first NUL and appends "\n" unless the text already ends
  // in one; an empty text becomes "\n". When the copy cannot be allocated the message has a null text and
  // writers print a fixed notice in its place.
  LogMessage(const char* text, size_t length, Level level);

  const char* m_msg;  // owned, NUL-terminated, ends in '\n'; null if allocation failed
  const Level m_logLevel;

 protected:
  ~LogMessage() override;

 public:
  LogMessage(const LogMessage&) = delete;
  LogMessage& operator=(const LogMessage&) = delete;
};

typedef RCPtr<LogMessage> LogMessagePtr;

#endif  // LOGGING_LOGMESSAGE_H
