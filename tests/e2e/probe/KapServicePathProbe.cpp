// A minimal host for the set-user-id test of KAPSERVICE_PATH: loads the plug-in named by
// its argument and registers one session. Exit status 10 when a channel service served
// it (the one KAPSERVICE_PATH names, since no other is installed), 11 when the plug-in
// found none, 2 on a usage error; anything else is a crash.
#include <dlfcn.h>

#include "usbRedirectionPlugin.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    return 2;
  }
  void* plugin = dlopen(argv[1], RTLD_NOW);
  if (plugin == nullptr) {
    return 2;
  }
  auto reg = reinterpret_cast<BOOL (*)(DWORD)>(dlsym(plugin, "UsbRedirectionProxy_Register"));
  auto unreg = reinterpret_cast<void (*)(DWORD)>(dlsym(plugin, "UsbRedirectionProxy_Unregister"));
  if (reg == nullptr || unreg == nullptr) {
    return 2;
  }
  BOOL served = reg(1);
  if (served) {
    unreg(1);
  }
  return served ? 10 : 11;
}
