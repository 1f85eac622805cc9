// Writes every line to the debug output, which is standard output on this platform, at
// once and under the logging lock unless buffering is switched on. Created by
// Logger::CreateWriter(LOG_WRITER_DEBUG), usually because the configuration file asks for it.
// Thread safe as every LogWriter.
#ifndef LOGGING_DEBUGWRITER_H
#define LOGGING_DEBUGWRITER_H

#include "logging/StreamWriter.h"

class DebugWriter : public StreamWriter {
 public:
  DebugWriter() : StreamWriter(LOG_WRITER_DEBUG, stdout) {}

 protected:
  ~DebugWriter() override = default;
};

#endif  // LOGGING_DEBUGWRITER_H
