// The plug-in's start-up: the preferences are opened and the plug-in's file logger is
// started as the process default logger at the level the preferences name.
#ifndef PLUGIN_PLUGINENTRY_H
#define PLUGIN_PLUGINENTRY_H

#include <string>

#include "logging/Level.h"
#include "plugin/UsbRedirectionLogger.h"

// Constructed at load, idle until UsbRedirectionPlugin_Init starts it.
extern UsbRedirectionLogger usbRedirectionLogger;

// The level word under "UsbRedirPlugin.log.logLevel" ("error" ... "verbose", case
// ignored, whole word); info when the key is absent or names no level.
Level UsbRedirPlugin_FetchLoggerLevel();

// The log configuration file under "UsbRedirPlugin.log.configFile", a leading "~"
// expanded; empty when the key is absent.
std::string UsbRedirPlugin_FetchLogConfigFile();

#endif  // PLUGIN_PLUGINENTRY_H
