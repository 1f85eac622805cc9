// Writes every line to the process's standard error, at once and under the logging lock unless
// buffering is switched on. Created by Logger::CreateWriter(LOG_WRITER_STDERR), usually because the
// configuration file asks for it. Thread safe as every LogWriter.
#ifndef LOGGING_STDERRWRITER_H
#define LOGGING_STDERRWRITER_H

#include "logging/StreamWriter.h"

class StdErrWriter : public StreamWriter {
 public:
  StdErrWriter() : StreamWriter(LOG_WRITER_STDERR, stderr) {}

 protected:
  ~StdErrWriter() override = default;
};

#endif  // LOGGING_STDERRWRITER_H
