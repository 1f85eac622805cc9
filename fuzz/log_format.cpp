// Fuzzes the log line over arbitrary function-signature texts and arguments: the shortening of the
// caller's signature, the prefix, the message cut to the line size, and the hex dump. Every line a
// writer receives must be exactly what the line format promises, worked out here from the rules
// themselves: a time stamp of the local-time shape, then " <thread> [process] letter name: ", the
// message, the whole cut to 1023 bytes and ending in one newline; a call without a name is indented
// by the writer's previous prefix length. Both writers receive the same text for a message.
//
// Input: level byte (bit 3: a missing name is passed as null), format byte, number byte, the
// signature text up to the first NUL, then the argument bytes.
#include <unistd.h>

#include <cstdarg>

#include "FuzzSupport.h"
#include "logging/Logger.h"
#include "runtime/QrThread.h"

namespace {

const size_t kMaxText = LogWriter::kMaxLineSize - 1;  // a line before its final newline
const size_t kTimeStampSize = 23;                     // "2020-06-23 16:35:41.123"

struct Setup {
  LoggerPtr logger = Logger::Create("FuzzLogFormat", "FuzzApp", false);
  RCPtr<CaptureWriter> writers[2] = {new CaptureWriter(LOG_WRITER_DEBUG),
                                     new CaptureWriter(LOG_WRITER_STDOUT)};
  size_t prefixLen[2] = {0, 0};  // the length of the last prefix each writer formatted

  Setup() {
    Require(logger.Ptr() != nullptr && logger->SetLevel(LOGGER_LOG_VERBOSE) &&
                logger->AddWriter(writers[0].Ptr()) && logger->AddWriter(writers[1].Ptr()) &&
                logger->Start(),
            "the logger does not start");
    // The start-up lines end with a named one, whose prefix length the next unnamed line uses.
    prefixLen[0] = writers[0]->m_lines.back().find(": ") + 2;
    atexit([] { Logger::ShutDown(); });
  }
};

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
  va_list args, copy;
  va_start(args, format);
  va_copy(copy, args);
  std::string out(static_cast<size_t>(std::max(vsnprintf(nullptr, 0, format, copy), 0)), '\0');
  va_end(copy);
  vsnprintf(&out[0], out.size() + 1, format, args);  // over the terminator: a NUL again
  va_end(args);
  return out;
}

// The shortening rule: "@text" stands for itself; otherwise the last blank-separated word before
// the first "(", at most 125 characters, followed by "()" when there was a "(".
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

// A line as a writer stores it: cut to the line size, up to a NUL (lines are C strings), ending in
// a newline.
std::string AsStored(std::string text) {
  text.resize(strnlen(text.c_str(), std::min(text.size(), kMaxText)));
  if (text.empty() || text.back() != '\n') {
    text.push_back('\n');
  }
  return text;
}

// Checks a stored line against the expected one; a stamped line's first kTimeStampSize bytes must
// have the local-time shape instead.
void CheckLine(const std::string& line, bool stamped, const std::string& expected) {
  static const char kShape[] = "dddd-dd-dd dd:dd:dd.ddd";
  bool same = line.size() >= kTimeStampSize &&
              line.compare(kTimeStampSize, std::string::npos, expected, kTimeStampSize) == 0;
  for (size_t i = 0; i < kTimeStampSize && same; ++i) {
    bool digit = line[i] >= '0' && line[i] <= '9';
    same = !stamped ? line[i] == expected[i] : kShape[i] == 'd' ? digit : line[i] == kShape[i];
  }
  if (!same) {
    fprintf(stderr, "line     [%s]\nexpected [%s]\n", line.c_str(), expected.c_str());
    abort();
  }
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
  static Setup* setup = new Setup();  // kept to the end: the exit handler shuts down
  FuzzReader in(data, size);
  const uint8_t flags = in.Byte(), format = in.Byte() % 10, number = in.Byte();
  const Level level = static_cast<Level>(flags & 7);
  const std::string signature = in.CString(), arg = in.Rest();
  const char* funcName = (flags & 8) != 0 && signature.empty() ? nullptr : signature.c_str();
  const char* argText = arg.c_str();
  const LoggerPtr& logger = setup->logger;
  for (auto& writer : setup->writers) {
    writer->m_lines.clear();
  }

  std::vector<std::string> bodies;  // what each line holds after its prefix
  std::string message;
// Logs the message, keeps the text it should give, and ends the case.
#define FUZZ_LOG(...)                                 \
  message = Format(__VA_ARGS__);                      \
  Logger::NLog(logger, funcName, level, __VA_ARGS__); \
  break
  switch (format) {
    case 0:
      FUZZ_LOG("%s", argText);
    case 1:
      FUZZ_LOG("%s\n", argText);
    case 2:
      FUZZ_LOG("[%.*s]", static_cast<int>(number) * 8, argText);
    case 3:
      FUZZ_LOG("%d|%u|%ld|%lu|%x|%lX", ArgNumber<int>(arg, 0), ArgNumber<unsigned>(arg, 4),
               ArgNumber<long>(arg, 8), ArgNumber<unsigned long>(arg, 16),
               ArgNumber<unsigned>(arg, 24), ArgNumber<unsigned long>(arg, 28));
    case 4:
      FUZZ_LOG("%c%c%s", ArgNumber<char>(arg, 0), ArgNumber<char>(arg, 1), argText);
    case 5:
      FUZZ_LOG("%-*s|", static_cast<int>(number) * 8, argText);
    case 6:
      FUZZ_LOG("%s%s%s", argText, argText, argText);
    case 7:
      FUZZ_LOG("%s", "");
    case 8:
      FUZZ_LOG("%g %e %p", ArgNumber<double>(arg, 0), ArgNumber<double>(arg, 8),
               ArgNumber<void*>(arg, 16));
    default:
      Logger::NLogHexDump(logger, funcName, level, arg.data(), static_cast<uint32_t>(arg.size()));
      for (size_t at = 0; at < arg.size(); at += 16) {
        bodies.push_back(HexDumpBody(arg, at));
      }
      break;
  }
#undef FUZZ_LOG
  if (format != 9) {
    bodies.push_back(message);
  }
  if (level > LOGGER_LOG_VERBOSE) {
    bodies.clear();  // not admitted
  }

  // A message's line the first writer builds and the second only receives; a hex dump's lines
  // each writer builds, indented by the last prefix it built itself.
  const bool hexDump = format == 9;
  Require(hexDump || setup->writers[1]->m_lines == setup->writers[0]->m_lines,
          "the writers got different lines");
  const std::string rest =
      Format(" <%08lX> [%04X] %c %s: ", static_cast<unsigned long>(QrThread::GetCurrentThreadID()),
             static_cast<unsigned>(getpid()), GetLevelLetter(level), ShortName(signature).c_str());
  const bool named = !signature.empty();
  for (int w = 0; w < (hexDump ? 2 : 1); ++w) {
    const std::vector<std::string>& lines = setup->writers[w]->m_lines;
    Require(lines.size() == bodies.size(), "another number of lines");
    const size_t prefixLen = named ? kTimeStampSize + rest.size() : setup->prefixLen[w];
    for (size_t i = 0; i < lines.size(); ++i) {
      bool stamped = named && i == 0;
      std::string prefix =
          stamped ? std::string(kTimeStampSize, '0') + rest : std::string(prefixLen, ' ');
      CheckLine(lines[i], stamped, AsStored(prefix + bodies[i]));
    }
    setup->prefixLen[w] = lines.empty() ? setup->prefixLen[w] : prefixLen;
  }
  return 0;
}
