#include "logging/StreamWriter.h"

StreamWriter::StreamWriter(LogWriterType type, FILE* stream) : LogWriter(type), m_stream(stream) {}

bool StreamWriter::WriteMessage(const RCPtr<LogMessage>& msg) {
  std::fputs(LineText(msg), m_stream);
  return true;
}

void StreamWriter::OnPostSyncMessages() { std::fflush(m_stream); }
