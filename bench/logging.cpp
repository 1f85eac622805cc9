// Cost of logging, like with like. A disabled call costs the call-site test only; an
// enabled call into the plug-in's file logger costs formatting and the queue hand-over.
// Then lines all the way to the file: our buffered file writer (configured as the plug-in
// configures it) against spdlog's rotating file sink at the same 15 MB limit, synchronous
// and asynchronous, from 1 and 2 threads. Both write the same line, byte for byte in
// length: the same time stamp, thread and process fields in hexadecimal, level letter,
// function name and formatted message. Every benchmark builds a fresh logger in a fresh
// folder, and an iteration ends only when its lines have been written and flushed to the
// file. spdlog's side is built only where spdlog is installed.
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#ifdef USBREDIR_HAVE_SPDLOG
#include <spdlog/async.h>
#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/spdlog.h>
#endif

#include "logging/LogWriter.h"
#include "logging/Logger.h"

namespace {

const int kLines = 100000;  // per iteration
const uint32_t kRollMB = 15;
const uint32_t kKeptFiles = 4;

// A private folder for one benchmark, removed with it.
class BenchDir {
 public:
  BenchDir() {
    char pattern[] = "/tmp/logbench-XXXXXX";
    if (mkdtemp(pattern) != nullptr) {
      m_path = pattern;
    }
  }
  ~BenchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
  }
  const std::string& Path() const { return m_path; }

  // Length of the first benchmark line found in the folder's files, newline included.
  size_t LineLength() const {
    for (const auto& entry : std::filesystem::directory_iterator(m_path)) {
      std::ifstream in(entry.path());
      for (std::string line; std::getline(in, line);) {
        if (line.find("BenchLogLine(): ") != std::string::npos) {
          return line.size() + 1;
        }
      }
    }
    return 0;
  }

 private:
  std::string m_path;
};

// A started default logger with the plug-in's file writer settings, in its own folder;
// the whole facility is shut down with it, so nothing it queued outlives the benchmark.
class OurLogger {
 public:
  explicit OurLogger(const std::string& dir) {
    LoggerPtr logger = Logger::Create("BenchLogger", "Bench", true);
    logger->SetLevel(LOGGER_LOG_INFO);
    m_writer = logger->CreateWriter(LOG_WRITER_FILE);
    m_writer->SetCustomOption("folderPath", dir);
    m_writer->SetCustomOption("maxFileSizeMB", std::to_string(kRollMB));
    m_writer->SetCustomOption("maxRollingFiles", std::to_string(kKeptFiles));
    m_writer->SetMaxBufferSize(500000);
    m_writer->SetSyncInterval(1000);
    logger->Start();
  }
  ~OurLogger() {
    m_writer = nullptr;
    Logger::ShutDown();
  }
  // Everything queued is in the file (and flushed) when this returns.
  void Flush() { m_writer->FlushMessages(); }

 private:
  RCPtr<LogWriter> m_writer;
};

// kLines lines from `threads` threads per iteration, then the flush that puts them on disk.
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

}  // namespace

// Outside the anonymous namespace, so that its shortened name is "BenchLogLine()".
void BenchLogLine(int i) {
  QR_LOG(LOGGER_LOG_INFO, "sixty bytes of message text for line %06d, padded to size..\n", i);
}

namespace {

// The call-site test alone; it is the same comparison whether or not a logger runs.
void BM_DisabledLogCall(benchmark::State& state) {
  int i = 0;
  for (auto _ : state) {
    QR_LOG(LOGGER_LOG_DEBUG, "disabled message %d\n", i++);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_DisabledLogCall)->Threads(1)->Threads(2);

// The call alone: lines queue up without a flush (outside the measured loop the logger
// is shut down, which writes them).
void BM_EnabledLogCall(benchmark::State& state) {
  BenchDir dir;
  OurLogger logger(dir.Path());
  int i = 0;
  for (auto _ : state) {
    BenchLogLine(i++);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EnabledLogCall)->Iterations(200000)->UseRealTime();

void BM_LinesToFile_FileWriter(benchmark::State& state) {
  BenchDir dir;
  OurLogger logger(dir.Path());
  RunLines(state, &BenchLogLine, [&logger]() { logger.Flush(); });
  state.counters["line_bytes"] = static_cast<double>(dir.LineLength());
}
BENCHMARK(BM_LinesToFile_FileWriter)->Arg(1)->Arg(2)->Iterations(5)->UseRealTime();

#ifdef USBREDIR_HAVE_SPDLOG
// "<thread> [process]" in upper-case hexadecimal, as the system's prefix shows them.
class HexIdsFlag : public spdlog::custom_flag_formatter {
 public:
  void format(const spdlog::details::log_msg& msg, const std::tm& /*tm*/,
              spdlog::memory_buf_t& dest) override {
    char text[48];
    static const unsigned pid = static_cast<unsigned>(getpid());  // kept, as our writers keep it
    int n = std::snprintf(text, sizeof(text), "<%08lX> [%04X]",
                          static_cast<unsigned long>(msg.thread_id), pid);
    dest.append(text, text + n);
  }
  std::unique_ptr<custom_flag_formatter> clone() const override {
    return spdlog::details::make_unique<HexIdsFlag>();
  }
};

// The rotating sink behind a wrapper that counts flushes, so that a benchmark can wait
// until an asynchronous logger's flush has happened (flush() only queues it).
class CountingSink : public spdlog::sinks::sink {
 public:
  CountingSink(const std::string& path, std::atomic<int>* flushes)
      : m_sink(std::make_shared<spdlog::sinks::rotating_file_sink_mt>(path, kRollMB * 1048576u,
                                                                      kKeptFiles)),
        m_flushes(flushes) {}
  void log(const spdlog::details::log_msg& msg) override { m_sink->log(msg); }
  void flush() override {
    m_sink->flush();
    ++*m_flushes;
  }
  void set_pattern(const std::string& pattern) override { m_sink->set_pattern(pattern); }
  void set_formatter(std::unique_ptr<spdlog::formatter> formatter) override {
    m_sink->set_formatter(std::move(formatter));
  }

 private:
  std::shared_ptr<spdlog::sinks::rotating_file_sink_mt> m_sink;
  std::atomic<int>* m_flushes;
};

std::shared_ptr<spdlog::logger> MakeSpdlog(const std::string& dir, bool async,
                                           std::atomic<int>* flushes) {
  auto sink = std::make_shared<CountingSink>(dir + "/spdlog.log", flushes);
  std::shared_ptr<spdlog::logger> logger;
  if (async) {
    spdlog::init_thread_pool(8192, 1);
    logger = std::make_shared<spdlog::async_logger>("bench", sink, spdlog::thread_pool(),
                                                    spdlog::async_overflow_policy::block);
  } else {
    logger = std::make_shared<spdlog::logger>("bench", sink);
  }
  auto formatter = spdlog::details::make_unique<spdlog::pattern_formatter>();
  formatter->add_flag<HexIdsFlag>('*').set_pattern("%Y-%m-%d %H:%M:%S.%e %* %L BenchLogLine(): %v");
  logger->set_formatter(std::move(formatter));
  return logger;
}

void RunSpdlog(benchmark::State& state, bool async) {
  BenchDir dir;
  std::atomic<int> flushes{0};
  {
    auto logger = MakeSpdlog(dir.Path(), async, &flushes);
    RunLines(
        state,
        [&logger](int i) {
          logger->info("sixty bytes of message text for line {:06d}, padded to size..", i);
        },
        [&logger, &flushes]() {
          int before = flushes.load();
          logger->flush();  // asynchronous loggers only queue the request
          while (flushes.load() == before) {
            std::this_thread::yield();
          }
        });
  }
  spdlog::shutdown();
  state.counters["line_bytes"] = static_cast<double>(dir.LineLength());
}

void BM_LinesToFile_SpdlogAsync(benchmark::State& state) { RunSpdlog(state, true); }
BENCHMARK(BM_LinesToFile_SpdlogAsync)->Arg(1)->Arg(2)->Iterations(5)->UseRealTime();

void BM_LinesToFile_SpdlogSync(benchmark::State& state) { RunSpdlog(state, false); }
BENCHMARK(BM_LinesToFile_SpdlogSync)->Arg(1)->Arg(2)->Iterations(5)->UseRealTime();
#endif

}  // namespace
