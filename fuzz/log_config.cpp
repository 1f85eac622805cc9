// Fuzzes the log configuration file: any text reads without fault, and applying it to a
// logger before start (where it may create and configure writers) and after start (where
// it changes level, time base, buffering and switches) keeps the logger consistent.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "logging/ConfigSettingsReader.h"
#include "logging/LogWriter.h"
#include "logging/Logger.h"

namespace {

// A destination that writes nowhere, so that a started logger does no output.
class NullWriter : public LogWriter {
 public:
  NullWriter() : LogWriter(LOG_WRITER_DEBUG) {}
  bool OnInit() override { return true; }
  bool WriteMessage(const RCPtr<LogMessage>& /*msg*/) override { return true; }
  bool OnClose() override { return true; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ConfigSettingsReaderPtr reader(new ConfigSettingsReader("App.FuzzLogger", "/nonexistent/x"));
  reader->ReadText(std::string(reinterpret_cast<const char*>(data), size));

  LoggerPtr before = Logger::Create("FuzzLogger", "App", false);
  before->ReadSettings(reader.Ptr());
  if (before->IsStarted() || before->GetLevel() > LOGGER_LOG_VERBOSE) {
    abort();
  }

  LoggerPtr after = Logger::Create("FuzzStarted", "App", true);
  after->AddWriter(new NullWriter());
  after->SetAutoCreationOfWriters(false);
  if (!after->Start()) {
    abort();
  }
  after->ReadSettings(reader.Ptr());
  if (after->WriterExists(LOG_WRITER_FILE) || after->GetLevel() > LOGGER_LOG_VERBOSE) {
    abort();
  }
  Logger::ShutDown();
  return 0;
}
