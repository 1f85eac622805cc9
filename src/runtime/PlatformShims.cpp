#include "runtime/PlatformShims.h"

#include <unistd.h>

#include <cstdlib>
#include <cwchar>

#include "logging/Log.h"

void Panic(const char* /*fmt*/, ...) { _exit(-1); }

QrThreadID GetCurrentThreadId() { return QrThread::GetCurrentThreadID(); }

DWORD GetCurrentProcessId() { return static_cast<DWORD>(getpid()); }

wchar_t* MultiByteToWideStr(const char* src, size_t* bufferLen) {
  if (src == nullptr) {
    QR_LOG(LOGGER_LOG_ERROR, "Invalid Multi-Byte Sequence!\n");
    return nullptr;
  }
  std::mbstate_t state = std::mbstate_t();
  const char* probe = src;
  size_t len = mbsrtowcs(nullptr, &probe, 0, &state);
  if (len == static_cast<size_t>(-1)) {
    QR_LOG(LOGGER_LOG_ERROR, "Invalid Multi-Byte Sequence!\n");
    return nullptr;
  }
  wchar_t* wide = static_cast<wchar_t*>(malloc((len + 1) * sizeof(wchar_t)));
  if (wide == nullptr) {
    QR_LOG(LOGGER_LOG_ERROR, "Memory allocation Failed!\n");
    return nullptr;
  }
  state = std::mbstate_t();
  const char* from = src;
  mbsrtowcs(wide, &from, len + 1, &state);
  wide[len] = L'\0';
  if (bufferLen != nullptr) {
    *bufferLen = len;
  }
  return wide;
}

bool WideCharStrcpy(LPWSTR dest, LPSTR src, size_t len, size_t* nBytes) {
  if (dest == nullptr || src == nullptr) {
    return false;
  }
  for (size_t i = 0; i < len; ++i) {
    dest[i] = static_cast<WCHAR>(static_cast<int16_t>(static_cast<signed char>(src[i])));
  }
  if (nBytes != nullptr) {
    *nBytes = len * 2;
  }
  return true;
}
