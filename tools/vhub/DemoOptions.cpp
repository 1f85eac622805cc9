#include "DemoOptions.h"

#include <cstdlib>
#include <cstring>

namespace {

bool ParseNumber(const char* text, double min, double max, double* out) {
  char* end = nullptr;
  double value = strtod(text, &end);
  if (end == text || *end != '\0' || !(value >= min && value <= max)) {
    return false;
  }
  *out = value;
  return true;
}

}  // namespace

std::string DemoOptions::Usage(const char* program) {
  return std::string("Usage: ") + program +
         " [options]\n"
         "Loads the USB redirection plug-in as the hub daemon does and plays client sessions\n"
         "against the stand-in channel service.\n\n"
         "  --sessions N        desktop sessions to run at once (1-64, default 3)\n"
         "  --duration S        seconds of URB traffic per session (0-600, default 2)\n"
         "  --payload BYTES     size of each URB in both directions (1-16777216, default 512)\n"
         "  --log-level LEVEL   error, warn, info, debug, trace or verbose (default info)\n"
         "  --plugin PATH       the plug-in to load (default: the one built beside this program)\n"
         "  --kapservice PATH   the channel service to use (default: the built stand-in)\n"
         "  --quiet             print the summary only\n"
         "  --help              this text\n";
}

bool DemoOptions::Parse(int argc, char** argv, std::string* error) {
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    auto value = [&](const char** out) {
      if (i + 1 >= argc) {
        *error = std::string("missing value for ") + arg;
        return false;
      }
      *out = argv[++i];
      return true;
    };
    const char* text = nullptr;
    double number = 0;
    if (strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0) {
      showHelp = true;
      error->clear();
      return false;
    } else if (strcmp(arg, "--quiet") == 0) {
      quiet = true;
    } else if (strcmp(arg, "--sessions") == 0) {
      if (!value(&text) || !ParseNumber(text, 1, 64, &number)) {
        *error = "--sessions takes a whole number from 1 to 64";
        return false;
      }
      sessions = static_cast<int>(number);
    } else if (strcmp(arg, "--duration") == 0) {
      if (!value(&text) || !ParseNumber(text, 0, 600, &number)) {
        *error = "--duration takes seconds from 0 to 600";
        return false;
      }
      durationSeconds = number;
    } else if (strcmp(arg, "--payload") == 0) {
      if (!value(&text) || !ParseNumber(text, 1, 16 << 20, &number)) {
        *error = "--payload takes bytes from 1 to 16777216";
        return false;
      }
      payloadBytes = static_cast<uint32_t>(number);
    } else if (strcmp(arg, "--log-level") == 0) {
      if (!value(&text)) {
        return false;
      }
      logLevel = text;
    } else if (strcmp(arg, "--plugin") == 0) {
      if (!value(&text)) {
        return false;
      }
      pluginPath = text;
    } else if (strcmp(arg, "--kapservice") == 0) {
      if (!value(&text)) {
        return false;
      }
      kapservicePath = text;
    } else {
      *error = std::string("unknown option ") + arg;
      return false;
    }
  }
  return true;
}
