// Cost of a log call at the call site: a disabled call (the default-level test only) and
// an enabled call into a started file logger (format, line copy, queue hand-over; the
// file itself is written by the logging poll thread), from 1 and 2 threads.
#include <stdlib.h>

#include <filesystem>
#include <string>

#include <benchmark/benchmark.h>

#include "logging/FileWriter.h"
#include "logging/Logger.h"

namespace {

// One started default file logger at info level for the whole program, in a private
// temporary directory, configured as the plug-in configures its own.
class BenchLogger {
 public:
  BenchLogger() {
    char pattern[] = "/tmp/logbench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
      return;
    }
    m_dir = pattern;
    setenv("TMPDIR", m_dir.c_str(), 1);
    LoggerPtr logger = Logger::Create("BenchLogger", "Bench", true);
    logger->SetLevel(LOGGER_LOG_INFO);
    RCPtr<LogWriter> writer = logger->CreateWriter(LOG_WRITER_FILE);
    writer->SetMaxBufferSize(500000);
    writer->SetSyncInterval(1000);
    logger->Start();
  }
  ~BenchLogger() {
    Logger::ShutDown();
    std::error_code ignored;
    std::filesystem::remove_all(m_dir, ignored);
  }

 private:
  std::string m_dir;
};

BenchLogger& Setup() {
  static BenchLogger logger;
  return logger;
}

void BM_DisabledLogCall(benchmark::State& state) {
  Setup();
  int i = 0;
  for (auto _ : state) {
    QR_LOG(LOGGER_LOG_DEBUG, "disabled message %d\n", i++);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_DisabledLogCall)->Threads(1)->Threads(2);

void BM_EnabledLogCallToFileWriter(benchmark::State& state) {
  Setup();
  int i = 0;
  for (auto _ : state) {
    QR_LOG(LOGGER_LOG_INFO, "enabled message number %d with a little text\n", i++);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EnabledLogCallToFileWriter)->Threads(1)->Threads(2)->UseRealTime();

}  // namespace
