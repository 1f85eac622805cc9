// The plug-in's first and last entry points. Preferences and the plug-in logger are not
// wired in yet: Init and Fini only log (which emits nothing until a logger runs).
#include "logging/Logger.h"
#include "usbRedirectionPlugin.h"

extern "C" {

void UsbRedirectionPlugin_Init(void) {
  QR_LOG(LOGGER_LOG_INFO, "Load libusbRedirectionPlugin.so\n");
}

void UsbRedirectionPlugin_Fini(void) {
  QR_LOG(LOGGER_LOG_INFO, "Unload libusbRedirectionPlugin.so\n");
}

}  // extern "C"
