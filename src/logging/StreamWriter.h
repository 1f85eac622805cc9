// Shared half of the writers that print lines on a standard stream (StdOutWriter,
// StdErrWriter, DebugWriter): unbuffered at construction, the standard line prefix, one
// fputs per line and a flush after each run of writes. Not for files: FileWriter rolls.
// Thread safe as every LogWriter: output runs on one thread at a time.
#ifndef LOGGING_STREAMWRITER_H
#define LOGGING_STREAMWRITER_H

#include <cstdio>

#include "logging/LogWriter.h"

class StreamWriter : public LogWriter {
 public:
  bool OnInit() override { return true; }
  bool WriteMessage(const RCPtr<LogMessage>& msg) override;
  bool OnClose() override { return true; }
  void OnPostSyncMessages() override;

 protected:
  // stream is one of the process's standard streams, which outlive every writer.
  StreamWriter(LogWriterType type, FILE* stream);
  ~StreamWriter() override = default;

 private:
  FILE* const m_stream;
};

#endif  // LOGGING_STREAMWRITER_H
