// The demo: loads the USB redirection plug-in the way the hub daemon does and plays a few
// client sessions through the stand-in channel service, then prints what happened.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "DemoDevice.h"
#include "DemoOptions.h"
#include "DemoSession.h"
#include "KapSimLibrary.h"
#include "VhubHost.h"

namespace {

// The plug-in reads its log level from the user's preference file; the demo gives it a
// home of its own so the real one is never touched.
std::string PrepareHome(const std::string& level) {
  const char* tmp = getenv("TMPDIR");
  std::string home = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") +
                     "/vhub-demo-home-" + std::to_string(getpid());
  mkdir(home.c_str(), 0700);
  mkdir((home + "/.quorin").c_str(), 0700);
  std::ofstream config(home + "/.quorin/config");
  config << "UsbRedirPlugin.log.logLevel = \"" << level << "\"\n";
  setenv("HOME", home.c_str(), 1);
  return home;
}

void RemoveHome(const std::string& home) {
  unlink((home + "/.quorin/config").c_str());
  rmdir((home + "/.quorin").c_str());
  rmdir(home.c_str());
}

// The log files of this process in the per-user temporary folder the plug-in writes to.
std::vector<std::string> FindLogFiles() {
  const char* roots[] = {getenv("TMPDIR"), getenv("TMP"), getenv("TEMP")};
  std::string root = "/tmp";
  for (const char* candidate : roots) {
    if (candidate != nullptr && *candidate != '\0') {
      root = candidate;
      break;
    }
  }
  const char* user = getenv("USER");
  std::string folder = root + "/quorin-" + (user != nullptr ? user : "default");
  std::string prefix = "quorin-UsbRedirPlugin-" + std::to_string(getpid());
  std::vector<std::string> files;
  if (DIR* dir = opendir(folder.c_str())) {
    while (dirent* entry = readdir(dir)) {
      if (std::string(entry->d_name).compare(0, prefix.size(), prefix) == 0) {
        files.push_back(folder + "/" + entry->d_name);
      }
    }
    closedir(dir);
  }
  return files;
}

// A "VmHWM:" or "VmRSS:" figure of /proc/self/status in MB; -1 when it cannot be read.
double StatusMegabytes(const char* key) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.compare(0, strlen(key), key) == 0) {
      return strtod(line.c_str() + strlen(key), nullptr) / 1024.0;  // the figure is in kB
    }
  }
  return -1;
}

std::string Reply(const VhubHost::Message& message) {
  switch (message.opType) {
    case USB_OPERATION_TYPE_RUSB_CLIENTSTARTUP:
      return "agentVersion=1.0;maxDevices=8";
    case USB_OPERATION_TYPE_RUSB_ISUSBAVAILABLE:
      return "available=1";
    case USB_OPERATION_TYPE_USB_DEVICE_PLUGIN:
      return "status=plugged;port=1";
    default:
      return "status=ok";
  }
}

}  // namespace

int main(int argc, char** argv) {
  DemoOptions options;
  options.pluginPath = VHUB_DEFAULT_PLUGIN_PATH;
  options.kapservicePath = VHUB_DEFAULT_KAPSERVICE_PATH;
  std::string error;
  if (!options.Parse(argc, argv, &error)) {
    if (options.showHelp) {
      fputs(DemoOptions::Usage(argv[0]).c_str(), stdout);
      return 0;
    }
    fprintf(stderr, "%s\n\n%s", error.c_str(), DemoOptions::Usage(argv[0]).c_str());
    return 2;
  }

  setenv("KAPSERVICE_PATH", options.kapservicePath.c_str(), 1);
  std::string home = PrepareHome(options.logLevel);
  printf("USB redirection demo: %d session(s), %.1f s of URBs of %u bytes each, log level %s\n",
         options.sessions, options.durationSeconds, options.payloadBytes,
         options.logLevel.c_str());

  KapSimLibrary sim;
  auto host = std::make_unique<VhubHost>(options.pluginPath);
  if (!sim.Load(options.kapservicePath, &error) || !host->Load(&error)) {
    fprintf(stderr, "cannot start: %s\n", error.c_str());
    RemoveHome(home);
    return 1;
  }
  host->Init();  // what the daemon does first: preferences and the plug-in's logger
  host->InitVhubCallback(true);

  bool ok = true;
  DemoLog log(options.quiet);
  std::vector<std::unique_ptr<DemoSession>> sessions;
  {
    DemoDevice device(host.get(), options.payloadBytes);
    host->SetKeepRecords(false);  // counts only: memory stays flat however long the run
    host->SetResponder([](const VhubHost::Message& message, std::string* reply) {
      *reply = Reply(message);
      return true;
    });
    host->SetMessageObserver([&device](const VhubHost::Message& message) {
      if (message.type == USB_REDIR_PACKAGE_TYPE_URB) {
        device.Submit(message.sessionId);
      }
    });
    std::vector<std::thread> threads;
    for (int i = 0; i < options.sessions; ++i) {
      sessions.push_back(std::make_unique<DemoSession>(options.firstSession + i, host.get(), &sim,
                                                       options, &log));
    }
    for (auto& session : sessions) {
      threads.emplace_back([&session]() { session->Run(); });
    }
    for (std::thread& thread : threads) {
      thread.join();
    }
    if (device.Failed() != 0) {
      fprintf(stderr, "%llu URB replies were refused by the plug-in\n",
              static_cast<unsigned long long>(device.Failed()));
      ok = false;
    }
  }
  host->Fini();  // every line of the plug-in's log is on disk after this
  size_t badFrees = host->BadFrees();
  host.reset();

  printf("\n%-8s %10s %12s %10s %12s %10s %10s\n", "session", "to host", "bytes", "to client",
         "bytes", "URB/s", "MB/s");
  for (const auto& session : sessions) {
    const DemoSession::Stats& stats = session->GetStats();
    double seconds = stats.urbSeconds > 0 ? stats.urbSeconds : 1;
    printf("%-8u %10llu %12llu %10llu %12llu %10.0f %10.2f\n", session->SessionId(),
           static_cast<unsigned long long>(stats.messagesToHost),
           static_cast<unsigned long long>(stats.bytesToHost),
           static_cast<unsigned long long>(stats.messagesFromHost),
           static_cast<unsigned long long>(stats.bytesFromHost), stats.urbRoundTrips / seconds,
           (stats.bytesToHost + stats.bytesFromHost) / seconds / 1e6);
    for (const std::string& failure : session->Failures()) {
      printf("         failed: %s\n", failure.c_str());
      ok = false;
    }
  }
  printf("\nMemory: peak resident %.1f MB, resident at the end %.1f MB\n",
         StatusMegabytes("VmHWM:"), StatusMegabytes("VmRSS:"));
  if (badFrees != 0) {
    printf("the plug-in handed back %zu buffers it did not get from the host\n", badFrees);
    ok = false;
  }
  std::vector<std::string> logs = FindLogFiles();
  if (logs.empty()) {
    printf("\nNo log file was written (the per-user temporary folder may not be writable).\n");
  }
  for (const std::string& file : logs) {
    printf("\nLog file: %s\n", file.c_str());
  }
  RemoveHome(home);
  printf("%s\n", ok ? "Demo finished: every expected callback arrived."
                    : "Demo FAILED: some expected callbacks did not arrive.");
  return ok ? 0 : 1;
}
