// Cost of a log call at the call site: a disabled call (the default-level test only) and
// an enabled call into a started file logger (format, line copy, queue hand-over; the
// file itself is written by the logging poll thread), from 1 and 2 threads. Then lines
// per second all the way to the file, against spdlog's asynchronous and synchronous file
// loggers with the same line content (built only where spdlog is installed).
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#ifdef USBREDIR_HAVE_SPDLOG
#include <spdlog/async.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>
#endif

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
    m_writer = logger->GetWriter(LOG_WRITER_FILE);
  }
  const std::string& Dir() const { return m_dir; }
  // Writes everything queued to the file now, as the drain would at its next pass.
  void Flush() {
    if (m_writer.Ptr() != nullptr) {
      m_writer->FlushMessages();
    }
  }
  ~BenchLogger() {
    m_writer = nullptr;
    Logger::ShutDown();
    std::error_code ignored;
    std::filesystem::remove_all(m_dir, ignored);
  }

 private:
  std::string m_dir;
  RCPtr<LogWriter> m_writer;
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

// Lines to the file: each iteration logs kLines lines with a 60-byte message from
// state.range(0) threads, then waits until all of them have reached the file.
const int kLines = 100000;
#define BENCH_MESSAGE "sixty bytes of message text for line %06d, padded to size.."

template <class LogLine, class Flush>
void RunLines(benchmark::State& state, LogLine logLine, Flush flush) {
  const int threads = static_cast<int>(state.range(0));
  for (auto _ : state) {
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
      workers.emplace_back([&, t]() {
        for (int i = t; i < kLines; i += threads) {
          logLine(i);
        }
      });
    }
    for (std::thread& worker : workers) {
      worker.join();
    }
    flush();
  }
  state.SetItemsProcessed(state.iterations() * kLines);
}

void BM_LinesToFile_FileWriter(benchmark::State& state) {
  BenchLogger& logger = Setup();
  RunLines(
      state, [](int i) { QR_LOG(LOGGER_LOG_INFO, BENCH_MESSAGE "\n", i); },
      [&logger]() { logger.Flush(); });
}
BENCHMARK(BM_LinesToFile_FileWriter)->Arg(1)->Arg(2)->Iterations(5)->UseRealTime();

#ifdef USBREDIR_HAVE_SPDLOG
// The same prefix fields as the system's lines: time stamp, thread, process, level letter,
// function name.
const char* const kSpdlogPattern = "%Y-%m-%d %H:%M:%S.%e <%t> [%P] %L BM_Lines(): %v";

void BM_LinesToFile_SpdlogAsync(benchmark::State& state) {
  const std::string dir = Setup().Dir();
  spdlog::init_thread_pool(8192, 1);
  auto logger = spdlog::basic_logger_mt<spdlog::async_factory>("async", dir + "/async.log");
  logger->set_pattern(kSpdlogPattern);
  RunLines(
      state, [&logger](int i) { logger->info(BENCH_MESSAGE, i); },
      [&logger]() {
        logger->flush();
        while (spdlog::thread_pool()->queue_size() > 0) {
          std::this_thread::yield();
        }
      });
  spdlog::drop_all();
}
BENCHMARK(BM_LinesToFile_SpdlogAsync)->Arg(1)->Arg(2)->Iterations(5)->UseRealTime();

void BM_LinesToFile_SpdlogSync(benchmark::State& state) {
  const std::string dir = Setup().Dir();
  auto logger = spdlog::basic_logger_mt("sync", dir + "/sync.log");
  logger->set_pattern(kSpdlogPattern);
  RunLines(
      state, [&logger](int i) { logger->info(BENCH_MESSAGE, i); },
      [&logger]() { logger->flush(); });
  spdlog::drop_all();
}
BENCHMARK(BM_LinesToFile_SpdlogSync)->Arg(1)->Arg(2)->Iterations(5)->UseRealTime();
#endif

}  // namespace
