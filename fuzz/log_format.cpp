// Fuzzes the log line over arbitrary function-signature texts and arguments: the shortening
// of the caller's signature, the prefix, the message cut to the line size, and the hex dump.
// Every line a writer receives must be exactly what the line format promises, worked out
// here from the rules themselves: a time stamp of the local-time shape, then
// " <thread> [process] letter name: ", the message, the whole cut to 1023 bytes and ending in
// one newline; a call without a name is indented by the writer's previous prefix length.
// Both writers of the logger receive the same text for a message.
//
// Input: level byte (bit 3: a missing name is passed as null), format byte, number byte,
// the signature text up to the first NUL, then the argument bytes.
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "logging/LogMessage.h"
#include "logging/LogWriter.h"
#include "logging/Logger.h"
#include "runtime/QrThread.h"

namespace {

const size_t kMaxText = LogWriter::kMaxLineSize - 1;  // a line before its final newline
const size_t kTimeStampSize = 23;                     // "2020-06-23 16:35:41.123"

class CaptureWriter : public LogWriter {
 public:
  explicit CaptureWriter(LogWriterType type) : LogWriter(type) {}
  bool OnInit() override { return true; }
  bool WriteMessage(const RCPtr<LogMessage>& msg) override {
    m_lines.push_back(msg->m_msg != nullptr ? msg->m_msg : "<no text>");
    return true;
  }
  bool OnClose() override { return true; }

  std::vector<std::string> m_lines;  // only the fuzzing thread logs
  size_t m_prefixLen = 0;            // the length of the last prefix this writer formatted

 protected:
  ~CaptureWriter() override = default;
};

struct Setup {
  LoggerPtr logger;
  RCPtr<CaptureWriter> writers[2];

  Setup() {
    logger = Logger::Create("FuzzLogFormat", "FuzzApp", false);
    writers[0] = new CaptureWriter(LOG_WRITER_DEBUG);
    writers[1] = new CaptureWriter(LOG_WRITER_STDOUT);
    if (logger.Ptr() == nullptr || !logger->SetLevel(LOGGER_LOG_VERBOSE) ||
        !logger->AddWriter(writers[0].Ptr()) || !logger->AddWriter(writers[1].Ptr()) ||
        !logger->Start()) {
      abort();
    }
    // The start-up lines end with a named one, whose prefix length the next unnamed line uses.
    const std::string& last = writers[0]->m_lines.back();
    writers[0]->m_prefixLen = last.find(": ") + 2;
    atexit([] { Logger::ShutDown(); });
  }
};

Setup& TheSetup() {
  static Setup* s_setup = new Setup();  // kept to the end: the exit handler shuts down
  return *s_setup;
}

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  int n = vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string out(n > 0 ? static_cast<size_t>(n) : 0, '\0');
  if (n > 0) {
    vsnprintf(&out[0], out.size() + 1, format, args);
  }
  va_end(args);
  return out;
}

// The shortening rule: "@text" stands for itself; otherwise the last blank-separated word
// before the first "(", at most 125 characters, followed by "()" when there was a "(".
std::string ShortName(const std::string& signature) {
  if (!signature.empty() && signature[0] == '@') {
    return signature.substr(1, 127);
  }
  size_t paren = signature.find('(');
  std::string head = signature.substr(0, paren);
  size_t blank = head.rfind(' ');
  std::string word = blank == std::string::npos ? head : head.substr(blank + 1);
  word.resize(std::min<size_t>(word.size(), 125));
  return paren == std::string::npos ? word : word + "()";
}

// A line as a writer stores it: cut to the line size, up to a NUL (lines are C strings),
// ending in a newline.
std::string AsStored(std::string text) {
  if (text.size() > kMaxText) {
    text.resize(kMaxText);
  }
  text.resize(strnlen(text.c_str(), text.size()));
  if (text.empty() || text.back() != '\n') {
    text.push_back('\n');
  }
  return text;
}

bool IsTimeStamp(const std::string& line) {
  static const char kShape[] = "dddd-dd-dd dd:dd:dd.ddd";
  if (line.size() < kTimeStampSize) {
    return false;
  }
  for (size_t i = 0; i < kTimeStampSize; ++i) {
    bool digit = line[i] >= '0' && line[i] <= '9';
    if (kShape[i] == 'd' ? !digit : line[i] != kShape[i]) {
      return false;
    }
  }
  return true;
}

// Checks one stored line against its expected text after the time stamp, or against the
// whole expected text when the line has no name.
void CheckLine(const std::string& line, bool named, const std::string& expected) {
  bool same =
      named ? IsTimeStamp(line) && line.compare(kTimeStampSize, std::string::npos, expected) == 0
            : line == expected;
  if (!same) {
    fprintf(stderr, "line     [%s]\nexpected [%s%s]\n", line.c_str(), named ? "<time stamp>" : "",
            expected.c_str());
    abort();
  }
}

struct Input {
  Level level;
  bool nullName;
  uint8_t format;
  uint8_t number;
  std::string signature;
  std::string arg;
};

Input Parse(const uint8_t* data, size_t size) {
  Input in{};
  in.level = static_cast<Level>(size > 0 ? data[0] & 7 : 0);
  in.nullName = size > 0 && (data[0] & 8) != 0;
  in.format = size > 1 ? data[1] : 0;
  in.number = size > 2 ? data[2] : 0;
  size_t pos = size > 3 ? 3 : size;
  const char* text = reinterpret_cast<const char*>(data + pos);
  size_t nameLength = strnlen(text, size - pos);
  in.signature.assign(text, nameLength);
  pos += nameLength < size - pos ? nameLength + 1 : nameLength;
  in.arg.assign(reinterpret_cast<const char*>(data + pos), size - pos);
  return in;
}

template <class T>
T ArgNumber(const std::string& arg, size_t at) {
  T value{};
  if (at < arg.size()) {
    memcpy(&value, arg.data() + at, std::min(sizeof(T), arg.size() - at));
  }
  return value;
}

std::string HexDumpBody(const std::string& data, size_t offset) {
  static const char kHex[] = "0123456789abcdef";
  std::string hex, chars;
  for (size_t i = offset; i < offset + 16; ++i) {
    if (i < data.size()) {
      unsigned char b = static_cast<unsigned char>(data[i]);
      hex += {kHex[b >> 4], kHex[b & 15], ' '};
      chars += b >= 0x20 && b < 0x7F ? static_cast<char>(b) : '.';
    } else {
      hex += "   ";
      chars += ' ';
    }
  }
  return Format("0x%04x: %s- (%s)\n", static_cast<unsigned>(offset), hex.c_str(), chars.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Setup& setup = TheSetup();
  Input in = Parse(data, size);
  const char* funcName = in.nullName && in.signature.empty() ? nullptr : in.signature.c_str();
  bool named = funcName != nullptr && funcName[0] != '\0';
  // Everything of the prefix after the time stamp.
  std::string rest = Format(
      " <%08lX> [%04X] %c %s: ", static_cast<unsigned long>(QrThread::GetCurrentThreadID()),
      static_cast<unsigned>(getpid()), GetLevelLetter(in.level), ShortName(in.signature).c_str());
  for (auto& writer : setup.writers) {
    writer->m_lines.clear();
  }
  bool admitted = in.level <= LOGGER_LOG_VERBOSE;
  const std::string& arg = in.arg;
  const char* argText = arg.c_str();
  const LoggerPtr& logger = setup.logger;

  if (in.format % 10 == 9) {
    Logger::NLogHexDump(logger, funcName, in.level, arg.data(), static_cast<uint32_t>(arg.size()));
    bool wrote = admitted && !arg.empty();
    for (auto& writer : setup.writers) {
      const std::vector<std::string>& lines = writer->m_lines;
      if (lines.size() != (wrote ? (arg.size() + 15) / 16 : 0)) {
        abort();
      }
      if (!wrote) {
        continue;
      }
      size_t prefixLen = named ? kTimeStampSize + rest.size() : writer->m_prefixLen;
      for (size_t i = 0; i < lines.size(); ++i) {
        std::string body = HexDumpBody(arg, i * 16);
        if (i == 0) {
          CheckLine(lines[0], named, (named ? rest : std::string(prefixLen, ' ')) + body);
        } else {
          CheckLine(lines[i], false, std::string(prefixLen, ' ') + body);
        }
      }
      writer->m_prefixLen = prefixLen;
    }
    return 0;
  }

  std::string message;
#define FUZZ_LOG(...)                                      \
  do {                                                     \
    message = Format(__VA_ARGS__);                         \
    Logger::NLog(logger, funcName, in.level, __VA_ARGS__); \
  } while (0)
  switch (in.format % 10) {
    case 0:
      FUZZ_LOG("%s", argText);
      break;
    case 1:
      FUZZ_LOG("%s\n", argText);
      break;
    case 2:
      FUZZ_LOG("[%.*s]", static_cast<int>(in.number) * 8, argText);
      break;
    case 3:
      FUZZ_LOG("%d|%u|%ld|%lu|%x|%lX", ArgNumber<int>(arg, 0), ArgNumber<unsigned>(arg, 4),
               ArgNumber<long>(arg, 8), ArgNumber<unsigned long>(arg, 16),
               ArgNumber<unsigned>(arg, 24), ArgNumber<unsigned long>(arg, 28));
      break;
    case 4:
      FUZZ_LOG("%c%c%s", ArgNumber<char>(arg, 0), ArgNumber<char>(arg, 1), argText);
      break;
    case 5:
      FUZZ_LOG("%-*s|", static_cast<int>(in.number) * 8, argText);
      break;
    case 6:
      FUZZ_LOG("%s%s%s", argText, argText, argText);
      break;
    case 7:
      FUZZ_LOG("%s", "");
      break;
    default:
      FUZZ_LOG("%g %e %p", ArgNumber<double>(arg, 0), ArgNumber<double>(arg, 8),
               ArgNumber<void*>(arg, 16));
      break;
  }
#undef FUZZ_LOG

  const std::vector<std::string>& first = setup.writers[0]->m_lines;
  if (first.size() != (admitted ? 1u : 0u) || setup.writers[1]->m_lines != first) {
    abort();
  }
  if (!admitted) {
    return 0;
  }
  // The first writer builds the line; the second only receives it.
  size_t prefixLen = named ? kTimeStampSize + rest.size() : setup.writers[0]->m_prefixLen;
  std::string prefix =
      named ? std::string(kTimeStampSize, '0') + rest : std::string(prefixLen, ' ');
  std::string expected = AsStored(prefix + message);
  CheckLine(first[0], named, named ? expected.substr(kTimeStampSize) : expected);
  setup.writers[0]->m_prefixLen = prefixLen;
  return 0;
}
