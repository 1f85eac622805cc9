// Free functions for bounded formatting, time stamps, readable durations and sizes,
// splitting and trimming, the log-line function-name shortening, and the desktop look-ups
// (policy, registry, per-session values, wide strings) that have no source on this
// platform and answer "nothing". Use std::string operations for anything else.
// Thread safe: no function keeps state between calls.
#ifndef RUNTIME_STRINGUTILS_H
#define RUNTIME_STRINGUTILS_H

#include <cstdarg>
#include <string>
#include <vector>

#include "runtime/PlatformTypes.h"

namespace StringUtils {

// Size of the buffer behind vsprintf/sprintf, terminator included.
const int kSprintfBufferSize = 10240;

// Formats into buffer, always terminated when cbBuffer >= 1. Returns the characters
// stored, or cbBuffer - 1 when the text was cut or formatting failed (0 for no buffer).
int vsnprintf(char* buffer, int cbBuffer, const char* fmt, va_list args)
    __attribute__((format(printf, 3, 0)));
int snprintf(char* buffer, int cbBuffer, const char* fmt, ...)
    __attribute__((format(printf, 3, 4)));
// Formats into a kSprintfBufferSize buffer; longer text is cut to fit.
std::string vsprintf(const char* fmt, va_list args) __attribute__((format(printf, 1, 0)));
std::string sprintf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Shortens a __PRETTY_FUNCTION__ text for a log-line prefix: "@text" stays as "text";
// otherwise the last blank-separated word up to its first "(", followed by "()". Writes
// at most dstSize bytes (and never more than 127 characters) into dst; returns dst.
const char* FormatFunctionName(const char* src, char* dst, int dstSize);
std::string FormatFunctionName(const char* src);

// "2026-01-31T23:59:59.999Z" (UTC) or "2026-01-31 23:59:59.999" (local time).
int TimeStr(char* buf, int bufLen, bool utcTime);
std::string TimeStr(bool utcTime);
// "%Z (UTC %z)" of the local time, for example "CET (UTC +0100)".
std::string TimeZone();
// A duration: "250ms", "1.500s", "1:02:05.500", "1 days 1:01:01".
std::string FormatTime(double tSecs, int precision);
// A byte count in steps of 1024: "512.00B", "1.5KB", "0.98KB".
std::string FormatSize(double size, int precision);

std::string trim(const std::string& src);
// Appends every piece between separators to out (not cleared), empty pieces included;
// returns the number of pieces appended (separators + 1).
int split(const std::string& src, char sep, std::vector<std::string>& out);

// Unsigned decimal from the leading digits of text, 0 when there are none; saturates at
// 0xFFFFFFFF instead of wrapping, so a huge number in a settings file never turns small.
UINT32 ParseDecimal(const std::string& text);

// Looks settingName up under appName in "$HOME/.quorin/config", "/usr/lib/quorin/config"
// and "/etc/quorin/config", in that order; true at the first file that has it.
bool GetConfigValue(const char* appName, const char* settingName, UINT32* value);

// Desktop look-ups without a source here: empty answers, nothing logged.
std::string PolicyValue(const std::string& key, const std::string& valueName);
bool PolicyValue(const std::string& key, const std::string& valueName, std::string& value);
std::string RegistryValue(HKEY hBaseKey, const std::string& key);
bool RegistryValue(HKEY hBaseKey, const std::string& key, std::string& value);
std::string RegistryValueNoWow64(HKEY hBaseKey, const std::string& key);
bool RegistryValueNoWow64(HKEY hBaseKey, const std::string& key, std::string& value);
std::string VolatileValue(DWORD sessionID, const std::string& name);
bool VolatileValue(DWORD sessionID, const std::string& name, std::string& value);
bool WaitForVolatileEnv(DWORD sessionID, DWORD msTimeout);

// The "not implemented" error code of the two conversions below.
const int kErrorCallNotImplemented = 120;
// Not implemented here: return kErrorCallNotImplemented and allocate nothing.
int MultiByteToWideChar(const char* src, wchar_t** dst);
int WideCharToMultiByte(const wchar_t* src, char** dst);
std::string WStringToString(const std::wstring& src);
std::wstring StringToWString(const std::string& src);

}  // namespace StringUtils

#endif  // RUNTIME_STRINGUTILS_H
