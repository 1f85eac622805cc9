// The console report of the USB throughput benchmark, followed by what it is run for: for
// each payload size and direction, the plug-in's throughput as a share of the stand-in-only
// path's, next to the goal and to memcpy of the same bytes; the plug-in at verbose level as
// a share of it at info level; the aggregate rate of several sessions.
// Not thread safe: Google Benchmark calls a reporter from its one driving thread.
#ifndef BENCH_USBRATIOREPORTER_H
#define BENCH_USBRATIOREPORTER_H

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include <unistd.h>

class UsbRatioReporter : public benchmark::ConsoleReporter {
 public:
  // Colour only on a terminal, as Google Benchmark's own console report does.
  UsbRatioReporter() : benchmark::ConsoleReporter(isatty(STDOUT_FILENO) ? OO_Color : OO_None) {}

  void ReportRuns(const std::vector<Run>& reports) override {
    benchmark::ConsoleReporter::ReportRuns(reports);
    for (const Run& run : reports) {
      if (run.error_occurred) {
        continue;
      }
      // The median of the repetitions when there are some, otherwise the one run.
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      const std::string key = Key(run.run_name.function_name, run.run_name.args,
                                  static_cast<int>(run.threads));
      if (median || (run.run_type == Run::RT_Iteration && m_medians.count(key) == 0)) {
        Figures& figures = m_figures[key];
        auto items = run.counters.find("items_per_second");
        auto bytes = run.counters.find("bytes_per_second");
        figures.itemsPerSecond = items != run.counters.end() ? items->second.value : 0;
        figures.bytesPerSecond = bytes != run.counters.end() ? bytes->second.value : 0;
        if (median) {
          m_medians[key] = true;
        }
      }
    }
  }

  // The comparison tables; sizes as the benchmarks' argument, in bytes.
  void PrintRatios(const std::vector<long long>& sizes, const std::vector<int>& sessions) const {
    printf("\nPlug-in path against the stand-in-only path (median of the repetitions)\n");
    printf("%-13s %8s %12s %12s %9s %10s %10s %10s %6s\n", "direction", "payload", "plug-in/s",
           "stand-in/s", "plug-in", "plug-in", "stand-in", "memcpy", "goal");
    printf("%-13s %8s %12s %12s %9s %10s %10s %10s %6s\n", "", "", "", "", "share", "MB/s",
           "MB/s", "MB/s", "");
    for (const char* direction : {"ClientToHost", "HostToClient"}) {
      for (long long size : sizes) {
        const std::string args = std::to_string(size);
        const Figures* plugin = Find(std::string(direction) + "/Plugin", args);
        const Figures* standIn = Find(std::string(direction) + "/StandIn", args);
        const Figures* copy = Find("Memcpy", args);
        if (plugin == nullptr || standIn == nullptr || standIn->itemsPerSecond <= 0) {
          continue;
        }
        const double share = plugin->itemsPerSecond / standIn->itemsPerSecond;
        const double goal = size <= 64 ? 0.80 : size >= 65536 ? 0.95 : 0.0;
        char copyText[24] = "-";
        if (copy != nullptr) {
          snprintf(copyText, sizeof(copyText), "%.0f", copy->bytesPerSecond / 1e6);
        }
        printf("%-13s %8s %12.0f %12.0f %8.1f%% %10.1f %10.1f %10s %6s\n", direction,
               SizeText(size).c_str(), plugin->itemsPerSecond, standIn->itemsPerSecond,
               share * 100, plugin->bytesPerSecond / 1e6, standIn->bytesPerSecond / 1e6,
               copyText, GoalText(goal, share).c_str());
      }
    }
    printf("\nThe plug-in at verbose level (three lines per URB) against it at info level\n");
    printf("%-13s %8s %12s %12s %9s %10s %6s\n", "direction", "payload", "verbose/s", "info/s",
           "share", "of stand-in", "goal");
    for (const char* direction : {"ClientToHost", "HostToClient"}) {
      for (long long size : sizes) {
        const std::string args = std::to_string(size);
        const Figures* verbose = Find(std::string(direction) + "/PluginVerbose", args);
        const Figures* info = Find(std::string(direction) + "/Plugin", args);
        const Figures* standIn = Find(std::string(direction) + "/StandIn", args);
        if (verbose == nullptr || info == nullptr || info->itemsPerSecond <= 0) {
          continue;
        }
        const double share = verbose->itemsPerSecond / info->itemsPerSecond;
        char ofStandIn[16] = "-";
        if (standIn != nullptr && standIn->itemsPerSecond > 0) {
          snprintf(ofStandIn, sizeof(ofStandIn), "%.1f%%",
                   100 * verbose->itemsPerSecond / standIn->itemsPerSecond);
        }
        printf("%-13s %8s %12.0f %12.0f %8.1f%% %10s %6s\n", direction, SizeText(size).c_str(),
               verbose->itemsPerSecond, info->itemsPerSecond, share * 100, ofStandIn,
               GoalText(size == 4096 ? 0.5 : 0.0, share).c_str());
      }
    }
    printf("\nSessions sending at once, host to client, 64 B: aggregate URBs per second\n");
    printf("%-9s %12s %12s %9s %16s %16s\n", "sessions", "plug-in/s", "stand-in/s", "share",
           "plug-in vs 1", "stand-in vs 1");
    const Figures* plugin1 = Find("Sessions/Plugin", "64", 1);
    const Figures* standIn1 = Find("Sessions/StandIn", "64", 1);
    for (int count : sessions) {
      const Figures* plugin = Find("Sessions/Plugin", "64", count);
      const Figures* standIn = Find("Sessions/StandIn", "64", count);
      if (plugin == nullptr || standIn == nullptr || standIn->itemsPerSecond <= 0 ||
          plugin1 == nullptr || standIn1 == nullptr) {
        continue;
      }
      printf("%-9d %12.0f %12.0f %8.1f%% %15.2fx %15.2fx\n", count, plugin->itemsPerSecond,
             standIn->itemsPerSecond, 100 * plugin->itemsPerSecond / standIn->itemsPerSecond,
             plugin->itemsPerSecond / plugin1->itemsPerSecond,
             standIn->itemsPerSecond / standIn1->itemsPerSecond);
    }
    printf("(a share ending in ! misses its goal)\n");
  }

 private:
  struct Figures {
    double itemsPerSecond = 0;
    double bytesPerSecond = 0;
  };

  static std::string Key(const std::string& name, const std::string& args, int threads) {
    return name + "|" + args + "|" + std::to_string(threads);
  }

  const Figures* Find(const std::string& name, const std::string& args, int threads = 1) const {
    auto it = m_figures.find(Key(name, args, threads));
    return it != m_figures.end() ? &it->second : nullptr;
  }

  static std::string GoalText(double goal, double share) {
    if (goal <= 0) {
      return "-";
    }
    char text[16];
    snprintf(text, sizeof(text), "%.0f%%%s", goal * 100, share >= goal ? "" : "!");
    return text;
  }

  static std::string SizeText(long long size) {
    if (size >= (1 << 20) && size % (1 << 20) == 0) {
      return std::to_string(size >> 20) + " MiB";
    }
    if (size >= 1024 && size % 1024 == 0) {
      return std::to_string(size >> 10) + " KiB";
    }
    return std::to_string(size) + " B";
  }

  std::map<std::string, Figures> m_figures;
  std::map<std::string, bool> m_medians;
};

#endif  // BENCH_USBRATIOREPORTER_H
