// Writes every line to the process's standard output, at once and under the logging lock unless
// buffering is switched on. Created by Logger::CreateWriter(LOG_WRITER_STDOUT), usually because the
// configuration file asks for it. Thread safe as every LogWriter.
#ifndef LOGGING_STDOUTWRITER_H
#define LOGGING_STDOUTWRITER_H

#include "logging/StreamWriter.h"

class StdOutWriter : public StreamWriter {
 public:
  StdOutWriter() : StreamWriter(LOG_WRITER_STDOUT, stdout) {}

 protected:
  ~StdOutWriter() override = default;
};

#endif  // LOGGING_STDOUTWRITER_H
