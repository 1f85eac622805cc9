#include "runtime/ExceptionBoundary.h"

#include <exception>

#include "logging/Log.h"

void ExceptionBoundary::Caught(const char* function) noexcept {
  if (!LoggerBase::IsEnabled(LOGGER_LOG_ERROR)) {
    return;
  }
  // The line carries the boundary's signature, as if that function had logged it.
  try {
    throw;
  } catch (const std::exception& e) {
    LoggerBase::Log(function, LOGGER_LOG_ERROR, "Failed with an exception: %s.\n", e.what());
  } catch (...) {
    LoggerBase::Log(function, LOGGER_LOG_ERROR, "Failed with an unknown exception.\n");
  }
}
