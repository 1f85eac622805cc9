// The log call surface: what every layer outside the logger includes to log. It pulls in
// the levels, the static calls with their call macros (QR_LOG, QR_LOG_HEXDUMP) and
// FunctionTrace, and nothing of the runtime, so the runtime can log without seeing the
// logger that runs on it. Only the logger's own files include logging/Logger.h.
#ifndef LOGGING_LOG_H
#define LOGGING_LOG_H

#include "logging/FunctionTrace.h"
#include "logging/Level.h"
#include "logging/LoggerBase.h"

#endif  // LOGGING_LOG_H
