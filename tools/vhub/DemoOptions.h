// Command-line options of the demo host.
#ifndef VHUB_DEMOOPTIONS_H
#define VHUB_DEMOOPTIONS_H

#include <cstdint>
#include <string>

struct DemoOptions {
  int sessions = 3;              // desktop sessions, numbered from firstSession
  uint32_t firstSession = 1;
  double durationSeconds = 2.0;  // length of the URB stream of each session
  uint32_t payloadBytes = 512;   // size of each URB, both directions
  std::string logLevel = "info"; // written to the preference file the plug-in reads
  std::string pluginPath;        // the built plug-in
  std::string kapservicePath;    // the built stand-in channel service
  bool quiet = false;            // summary only

  // Parses argv; false with a message in `error` (empty for --help, which sets showHelp).
  bool Parse(int argc, char** argv, std::string* error);
  static std::string Usage(const char* program);
  bool showHelp = false;
};

#endif  // VHUB_DEMOOPTIONS_H
