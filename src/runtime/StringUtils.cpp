#include "runtime/StringUtils.h"

#include <strings.h>

#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/time.h>

#include "logging/Log.h"
#include "runtime/BoundedFileReader.h"

namespace StringUtils {

namespace {

const int kSmallBufferSize = 128;  // TimeStr, TimeZone, FormatTime, FormatSize, names

// Reads "app.setting = value" lines the way the log configuration reader does: the key
// before the last "." of the left side matches appName ignoring case, the setting name
// matches exactly, and the last line that sets it wins.
bool LookupConfigFile(const std::string& path, const char* appName, const char* settingName,
                      UINT32* value) {
  std::vector<std::string> lines;
  if (BoundedFileReader().ReadLines(path, &lines) != BoundedFileReader::READ_OK) {
    return false;
  }
  bool found = false;
  for (const std::string& line : lines) {
    std::string::size_type eq = line.find('=');
    if (eq == std::string::npos) {
      continue;
    }
    std::string left = trim(line.substr(0, eq));
    std::string::size_type dot = left.rfind('.');
    if (dot == std::string::npos) {
      continue;
    }
    std::string key = left.substr(0, dot);
    std::string name = trim(left.substr(dot + 1));
    std::string text = trim(line.substr(eq + 1));
    if (name.empty() || text.empty() || name != settingName ||
        strcasecmp(key.c_str(), appName) != 0) {
      continue;
    }
    *value = ParseDecimal(text);
    found = true;
  }
  return found;
}

// The conversions most log lines use, formatted as the C library does but without its
// per-call set-up, which costs more than a whole short line: %s %d %i %u %x %X %p %c and
// %%, with an optional l, ll or z length and no flags, width or precision.
bool IsSimpleFormat(const char* fmt) {
  for (const char* p = strchr(fmt, '%'); p != nullptr; p = strchr(p, '%')) {
    ++p;
    const char* length = p;
    if (*p == 'l') {
      p += p[1] == 'l' ? 2 : 1;
    } else if (*p == 'z') {
      ++p;
    }
    if (*p == '\0' || strchr(p == length ? "sdiuxXpc%" : "diuxX", *p) == nullptr) {
      return false;  // a length before s, c or p means wide text or nonsense
    }
    ++p;
  }
  return true;
}

// Bounded output that keeps only what fits, as vsnprintf does.
struct Output {
  char* at;
  char* end;  // one before the last byte: room for the terminator
  void Put(char c) {
    if (at < end) {
      *at++ = c;
    }
  }
  void Put(const char* text, size_t length) {
    size_t room = static_cast<size_t>(end - at);
    if (length > room) {
      length = room;
    }
    memcpy(at, text, length);
    at += length;
  }
  void Number(unsigned long long value, unsigned base, bool upper, bool negative) {
    char digits[24];
    int n = 0;
    const char* set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    do {
      digits[sizeof(digits) - 1 - n++] = set[value % base];
      value /= base;
    } while (value != 0);
    if (negative) {
      digits[sizeof(digits) - 1 - n++] = '-';
    }
    Put(digits + sizeof(digits) - n, static_cast<size_t>(n));
  }
};

// Formats a format that IsSimpleFormat accepted; returns the characters stored.
int FormatSimple(char* buffer, int cbBuffer, const char* fmt, va_list args) {
  Output out{buffer, buffer + cbBuffer - 1};
  for (const char* p = fmt; *p != '\0' && out.at < out.end;) {
    const char* percent = strchr(p, '%');
    if (percent == nullptr) {
      out.Put(p, strlen(p));
      break;
    }
    out.Put(p, static_cast<size_t>(percent - p));
    p = percent + 1;
    int longs = 0;
    bool size = false;
    if (*p == 'l') {
      longs = p[1] == 'l' ? 2 : 1;
      p += longs;
    } else if (*p == 'z') {
      size = true;
      ++p;
    }
    char conversion = *p++;
    switch (conversion) {
      case '%':
        out.Put('%');
        break;
      case 'c':
        out.Put(static_cast<char>(va_arg(args, int)));
        break;
      case 's': {
        const char* text = va_arg(args, const char*);
        if (text == nullptr) {
          text = "(null)";
        }
        out.Put(text, strlen(text));
        break;
      }
      case 'p': {
        void* pointer = va_arg(args, void*);
        if (pointer == nullptr) {
          out.Put("(nil)", 5);
        } else {
          out.Put("0x", 2);
          out.Number(reinterpret_cast<uintptr_t>(pointer), 16, false, false);
        }
        break;
      }
      case 'd':
      case 'i': {
        long long value = longs == 2           ? va_arg(args, long long)
                          : longs == 1 || size ? va_arg(args, long)
                                               : va_arg(args, int);
        unsigned long long magnitude = value < 0 ? 0ull - static_cast<unsigned long long>(value)
                                                 : static_cast<unsigned long long>(value);
        out.Number(magnitude, 10, false, value < 0);
        break;
      }
      default: {  // u, x, X
        unsigned long long value = longs == 2           ? va_arg(args, unsigned long long)
                                   : longs == 1 || size ? va_arg(args, unsigned long)
                                                        : va_arg(args, unsigned int);
        out.Number(value, conversion == 'u' ? 10 : 16, conversion == 'X', false);
        break;
      }
    }
  }
  *out.at = '\0';
  return static_cast<int>(out.at - buffer);
}

}  // namespace

int vsnprintf(char* buffer, int cbBuffer, const char* fmt, va_list args) {
  if (buffer == nullptr || cbBuffer < 1) {
    return 0;
  }
  if (fmt == nullptr) {
    buffer[0] = '\0';
    return 0;
  }
  if (strchr(fmt, '%') == nullptr) {
    // Printed as it stands: many log lines are fixed texts, and this is their hot path.
    size_t length = strlen(fmt);
    int n = length < static_cast<size_t>(cbBuffer) ? static_cast<int>(length) : cbBuffer - 1;
    memcpy(buffer, fmt, static_cast<size_t>(n));
    buffer[n] = '\0';
    return n;
  }
  if (IsSimpleFormat(fmt)) {
    return FormatSimple(buffer, cbBuffer, fmt, args);
  }
  int n = ::vsnprintf(buffer, static_cast<size_t>(cbBuffer), fmt, args);
  if (n < 0) {
    // The buffer may hold anything after a failure; callers use the returned length, so
    // make every byte of it defined.
    memset(buffer, 0, static_cast<size_t>(cbBuffer));
    return cbBuffer - 1;
  }
  if (n >= cbBuffer) {
    return cbBuffer - 1;
  }
  return n;
}

int snprintf(char* buffer, int cbBuffer, const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  int n = StringUtils::vsnprintf(buffer, cbBuffer, fmt, args);
  va_end(args);
  return n;
}

std::string vsprintf(const char* fmt, va_list args) {
  char buffer[kSprintfBufferSize];
  StringUtils::vsnprintf(buffer, sizeof(buffer), fmt, args);
  return std::string(buffer);
}

std::string sprintf(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  std::string text = StringUtils::vsprintf(fmt, args);
  va_end(args);
  return text;
}

const char* FormatFunctionName(const char* src, char* dst, int dstSize) {
  if (dst == nullptr || dstSize < 1) {
    return dst;
  }
  const int maxChars = (dstSize < kSmallBufferSize ? dstSize : kSmallBufferSize) - 1;
  if (src == nullptr) {
    dst[0] = '\0';
    return dst;
  }
  int len = 0;
  if (src[0] == '@') {
    for (const char* p = src + 1; *p != '\0' && len < maxChars; ++p) {
      dst[len++] = *p;
    }
    dst[len] = '\0';
    return dst;
  }
  // Room for the name itself: the "()" that follows it must fit too. The name is what
  // follows the last blank before the first "(" (or the end), cut to that room; the
  // searches are the library's, as every log line asks for a name.
  const int nameChars = maxChars >= 2 ? maxChars - 2 : 0;
  const char* paren = strchr(src, '(');
  const char* end = paren != nullptr ? paren : src + strlen(src);
  const void* blank = memrchr(src, ' ', static_cast<size_t>(end - src));
  const char* start = blank != nullptr ? static_cast<const char*>(blank) + 1 : src;
  len = static_cast<int>(end - start) < nameChars ? static_cast<int>(end - start) : nameChars;
  memcpy(dst, start, static_cast<size_t>(len));
  if (paren != nullptr && len + 2 <= maxChars) {
    dst[len++] = '(';
    dst[len++] = ')';
  }
  dst[len] = '\0';
  return dst;
}

std::string FormatFunctionName(const char* src) {
  char buffer[kSmallBufferSize];
  return FormatFunctionName(src, buffer, sizeof(buffer));
}

int TimeStr(char* buf, int bufLen, bool utcTime) {
  if (buf == nullptr || bufLen < 1) {
    return 0;
  }
  struct timeval tv;
  if (gettimeofday(&tv, nullptr) != 0) {
    buf[0] = '\0';
    return 0;
  }
  // Every log line asks for the time, and the calendar conversion and its formatting cost
  // far more than the rest of the line; each thread keeps the text of its last second.
  struct SecondText {
    time_t secs = -1;
    bool utc = false;
    char text[48];
    int length = 0;
  };
  static thread_local SecondText t_second;
  time_t secs = tv.tv_sec;
  if (t_second.secs != secs || t_second.utc != utcTime) {
    struct tm tmNow;
    struct tm* ok = utcTime ? gmtime_r(&secs, &tmNow) : localtime_r(&secs, &tmNow);
    if (ok == nullptr) {
      buf[0] = '\0';
      return 0;
    }
    t_second.length = StringUtils::snprintf(t_second.text, sizeof(t_second.text),
                                            "%04d-%02d-%02d%c%02d:%02d:%02d", tmNow.tm_year + 1900,
                                            tmNow.tm_mon + 1, tmNow.tm_mday, utcTime ? 'T' : ' ',
                                            tmNow.tm_hour, tmNow.tm_min, tmNow.tm_sec);
    t_second.secs = secs;
    t_second.utc = utcTime;
  }
  char line[64];
  int n = t_second.length;
  memcpy(line, t_second.text, static_cast<size_t>(n));
  int ms = static_cast<int>(tv.tv_usec / 1000);
  line[n++] = '.';
  line[n++] = static_cast<char>('0' + ms / 100);
  line[n++] = static_cast<char>('0' + ms / 10 % 10);
  line[n++] = static_cast<char>('0' + ms % 10);
  if (utcTime) {
    line[n++] = 'Z';
  }
  line[n] = '\0';
  // As the bounded snprintf: the characters stored, cut to the buffer.
  if (n >= bufLen) {
    n = bufLen - 1;
  }
  memcpy(buf, line, static_cast<size_t>(n));
  buf[n] = '\0';
  return n;
}

std::string TimeStr(bool utcTime) {
  char buffer[kSmallBufferSize];
  TimeStr(buffer, sizeof(buffer), utcTime);
  return std::string(buffer);
}

std::string TimeZone() {
  time_t now = time(nullptr);
  struct tm tmNow;
  if (now == static_cast<time_t>(-1) || localtime_r(&now, &tmNow) == nullptr) {
    return std::string();
  }
  char buffer[kSmallBufferSize];
  size_t n = strftime(buffer, sizeof(buffer), "%Z (UTC %z)", &tmNow);
  return std::string(buffer, n);
}

std::string FormatTime(double tSecs, int precision) {
  // A negative or NaN duration, a duration beyond 64 bits of seconds, or more than 18
  // decimals would overflow the integer conversions below; clamp them instead.
  const double kMaxSecs = 1.8e19;
  if (!(tSecs >= 0)) {
    tSecs = 0;
  } else if (tSecs > kMaxSecs) {
    tSecs = kMaxSecs;
  }
  if (precision > 18) {
    precision = 18;
  }
  uint64_t whole;
  long fraction = 0;
  if (precision < 1) {
    double rounded = tSecs + 0.5;
    whole = static_cast<uint64_t>(rounded > kMaxSecs ? kMaxSecs : rounded);
  } else {
    whole = static_cast<uint64_t>(tSecs);
    fraction = static_cast<long>(std::pow(10.0, precision) * (tSecs - static_cast<double>(whole)));
  }
  int s = static_cast<int>(whole % 60);
  int m = static_cast<int>((whole / 60) % 60);
  int h = static_cast<int>((whole / 3600) % 24);
  unsigned long long d = whole / 86400;

  char buffer[kSmallBufferSize];
  int len = 0;
  if (d >= 1) {
    len = StringUtils::snprintf(buffer, sizeof(buffer), "%llu days ", d);
  }
  char* rest = buffer + len;
  int restSize = static_cast<int>(sizeof(buffer)) - len;
  if (d == 0 && h == 0 && m == 0) {
    if (precision < 1) {
      StringUtils::snprintf(rest, restSize, "%ds", s);
    } else if (s == 0 && precision == 3) {
      StringUtils::snprintf(rest, restSize, "%ldms", fraction);
    } else if (s == 0 && precision == 6) {
      StringUtils::snprintf(rest, restSize, "%ldus", fraction);
    } else if (s == 0 && precision == 9) {
      StringUtils::snprintf(rest, restSize, "%ldns", fraction);
    } else {
      StringUtils::snprintf(rest, restSize, "%d.%0*lds", s, precision, fraction);
    }
  } else if (precision > 0) {
    StringUtils::snprintf(rest, restSize, "%d:%02d:%02d.%0*ld", h, m, s, precision, fraction);
  } else {
    StringUtils::snprintf(rest, restSize, "%d:%02d:%02d", h, m, s);
  }
  return std::string(buffer);
}

std::string FormatSize(double size, int precision) {
  static const char* const kUnits[] = {"", "K", "M", "G", "T", "P"};
  int unit = 0;
  while (size >= 1000 && unit < 5) {
    size /= 1024;
    ++unit;
  }
  char buffer[kSmallBufferSize];
  StringUtils::snprintf(buffer, sizeof(buffer), "%*.*f%sB", precision + 2, precision, size,
                        kUnits[unit]);
  return std::string(buffer);
}

std::string trim(const std::string& src) {
  std::string::size_type begin = 0;
  std::string::size_type end = src.size();
  while (begin < end && isspace(static_cast<unsigned char>(src[begin]))) {
    ++begin;
  }
  while (end > begin && isspace(static_cast<unsigned char>(src[end - 1]))) {
    --end;
  }
  return src.substr(begin, end - begin);
}

int split(const std::string& src, char sep, std::vector<std::string>& out) {
  int pieces = 0;
  std::string::size_type start = 0;
  for (;;) {
    std::string::size_type pos = src.find(sep, start);
    if (pos == std::string::npos) {
      out.push_back(src.substr(start));
      return pieces + 1;
    }
    out.push_back(src.substr(start, pos - start));
    ++pieces;
    start = pos + 1;
  }
}

UINT32 ParseDecimal(const std::string& text) {
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') {
      break;
    }
    value = value * 10 + static_cast<uint64_t>(c - '0');
    if (value > 0xFFFFFFFFull) {
      return 0xFFFFFFFFu;
    }
  }
  return static_cast<UINT32>(value);
}

bool GetConfigValue(const char* appName, const char* settingName, UINT32* value) {
  if (appName == nullptr || settingName == nullptr || value == nullptr) {
    return false;
  }
  std::vector<std::string> files;
  const char* home = getenv("HOME");
  if (home != nullptr) {
    files.push_back(StringUtils::sprintf("%s/.quorin/config", home));
  }
  files.push_back("/usr/lib/quorin/config");
  files.push_back("/etc/quorin/config");
  for (const std::string& file : files) {
    UINT32 found = 0;
    if (LookupConfigFile(file, appName, settingName, &found)) {
      *value = found;
      QR_LOG(LOGGER_LOG_TRACE, "Found value=%d for setting %s.%s, in %s file.\n",
             static_cast<int>(found), appName, settingName, file.c_str());
      return true;
    }
  }
  return false;
}

std::string PolicyValue(const std::string&, const std::string&) { return std::string(); }
bool PolicyValue(const std::string&, const std::string&, std::string&) { return false; }
std::string RegistryValue(HKEY, const std::string&) { return std::string(); }
bool RegistryValue(HKEY, const std::string&, std::string&) { return false; }
std::string RegistryValueNoWow64(HKEY, const std::string&) { return std::string(); }
bool RegistryValueNoWow64(HKEY, const std::string&, std::string&) { return false; }
std::string VolatileValue(DWORD, const std::string&) { return std::string(); }
bool VolatileValue(DWORD, const std::string&, std::string&) { return false; }
bool WaitForVolatileEnv(DWORD, DWORD) { return false; }

int MultiByteToWideChar(const char*, wchar_t**) { return kErrorCallNotImplemented; }
int WideCharToMultiByte(const wchar_t*, char**) { return kErrorCallNotImplemented; }
std::string WStringToString(const std::wstring&) { return std::string(); }
std::wstring StringToWString(const std::string&) { return std::wstring(); }

}  // namespace StringUtils
