// Fuzzes the log configuration file: any text reads and applies without fault to a logger before
// start (creating writers) and after start (level, time base, buffering, switches).
#include "FuzzSupport.h"
#include "logging/ConfigSettingsReader.h"
#include "logging/Logger.h"
#include "support/TestLogWriter.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ConfigSettingsReaderPtr reader(new ConfigSettingsReader("App.FuzzLogger", "/nonexistent/x"));
  reader->ReadText(FuzzReader(data, size).Rest());

  LoggerPtr before = Logger::Create("FuzzLogger", "App", false);
  before->ReadSettings(reader.Ptr());
  Require(!before->IsStarted() && before->GetLevel() <= LOGGER_LOG_VERBOSE, "before start");

  // A started logger whose only destination writes nowhere.
  LoggerPtr after = Logger::Create("FuzzStarted", "App", true);
  after->AddWriter(new TestLogWriter());
  after->SetAutoCreationOfWriters(false);
  Require(after->Start(), "the logger does not start");
  after->ReadSettings(reader.Ptr());
  Require(!after->WriterExists(LOG_WRITER_FILE) && after->GetLevel() <= LOGGER_LOG_VERBOSE,
          "after start");
  Logger::ShutDown();
  return 0;
}
