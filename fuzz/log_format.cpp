// Fuzzes the log line over any signature text and arguments: each line a writer gets must be what
// the line format's rules give (worked out here): a local-time stamp, " <thread> [process] letter
// shortname: ", the message or hex dump, cut to 1023 bytes, one final newline; a call without a
// name is indented by the writer's previous prefix length.
// Input: level byte (bit 3: a missing name is passed as null), format byte, number byte, the
// signature text up to the first NUL, then the argument bytes.
#include <unistd.h>

#include <functional>
#include <regex>

#include "FuzzSupport.h"
#include "logging/Logger.h"
#include "runtime/QrThread.h"
#include "support/TestLogWriter.h"

namespace {

const size_t kMaxText = LogWriter::kMaxLineSize - 1;  // a line before its final newline
const size_t kTimeStampSize = 23;                     // "2020-06-23 16:35:41.123"

struct Setup {
  LoggerPtr logger = Logger::Create("FuzzLogFormat", "FuzzApp", false);
  RCPtr<TestLogWriter> writers[2] = {new TestLogWriter(LOG_WRITER_DEBUG),
                                     new TestLogWriter(LOG_WRITER_STDOUT)};
  size_t prefixLen[2] = {0, 0};  // the length of the last prefix each writer formatted

  Setup() {
    Require(logger.Ptr() != nullptr && logger->SetLevel(LOGGER_LOG_VERBOSE) &&
                logger->AddWriter(writers[0].Ptr()) && logger->AddWriter(writers[1].Ptr()) &&
                logger->Start(),
            "the logger does not start");
    // The start-up lines end with a named one, whose prefix length the next unnamed line uses.
    prefixLen[0] = writers[0]->Lines().back().find(": ") + 2;
    atexit([] { Logger::ShutDown(); });
  }
};

template <class... Args>
std::string Format(const char* format, Args... args) {
  std::string out(static_cast<size_t>(std::max(snprintf(nullptr, 0, format, args...), 0)), '\0');
  snprintf(&out[0], out.size() + 1, format, args...);  // over the terminator: a NUL again
  return out;
}

// "@text" stands for itself; else the last word before "(", at most 125 characters, and "()".
std::string ShortName(const std::string& signature) {
  if (!signature.empty() && signature[0] == '@') {
    return signature.substr(1, 127);
  }
  const size_t paren = signature.find('(');
  const std::string head = signature.substr(0, paren);
  return head.substr(head.rfind(' ') + 1, 125) + (paren == std::string::npos ? "" : "()");
}

// Checks a line against the expected text as stored: cut to the line size and at a NUL, one final
// newline; a stamped line's first kTimeStampSize bytes must have the local-time shape instead.
void CheckLine(const std::string& line, bool stamped, std::string expected) {
  static const std::regex kStamp("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3}");
  expected.resize(strnlen(expected.c_str(), std::min(expected.size(), kMaxText)));
  expected += expected.empty() || expected.back() != '\n' ? "\n" : "";
  const std::string head = line.substr(0, kTimeStampSize);
  Require(line.size() >= kTimeStampSize &&
              line.compare(kTimeStampSize, std::string::npos, expected, kTimeStampSize) == 0 &&
              (stamped ? std::regex_match(head, kStamp)
                       : expected.compare(0, kTimeStampSize, head) == 0),
          "a line differs from the line format");
}

std::string HexDumpBody(const std::string& data, size_t offset) {
  std::string hex, chars;
  for (size_t i = offset; i < offset + 16; ++i) {
    unsigned char b = i < data.size() ? static_cast<unsigned char>(data[i]) : 0;
    hex += i < data.size() ? Format("%02x ", b) : "   ";
    chars += i >= data.size() ? ' ' : b >= 0x20 && b < 0x7F ? static_cast<char>(b) : '.';
  }
  return Format("0x%04x: %s- (%s)\n", static_cast<unsigned>(offset), hex.c_str(), chars.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Setup* const setup = new Setup();  // kept to the end: the exit handler shuts down
  FuzzReader in(data, size);
  const uint8_t flags = in.Byte(), format = in.Byte() % 5, number = in.Byte();
  const Level level = static_cast<Level>(flags & 7);
  const std::string signature = in.CString(), arg = in.Rest();
  const char* name = (flags & 8) != 0 && signature.empty() ? nullptr : signature.c_str();
  const char* text = arg.c_str();
  FuzzReader numbers(reinterpret_cast<const uint8_t*>(text), arg.size());  // the same bytes
  for (auto& writer : setup->writers) writer->Clear();

  const auto log = [&](const char* fmt, auto... args) {
    Logger::NLog(setup->logger, name, level, fmt, args...);
    return Format(fmt, args...);
  };
  // The messages of format bytes 0-3, one per way through the formatter; 4 is a hex dump.
  const std::function<std::string()> messages[] = {
      [&] { return log("%s", text); },
      [&] { return log("[%.*s]", static_cast<int>(number) * 8, text); },
      [&] {
        return log("%d|%u|%ld|%lu|%x|%lX", static_cast<int>(numbers.Bytes(4)),
                   static_cast<unsigned>(numbers.Bytes(4)), static_cast<long>(numbers.Bytes(8)),
                   numbers.Bytes(8), static_cast<unsigned>(numbers.Bytes(4)), numbers.Bytes(8));
      },
      [&] { return log("%c%c%s", numbers.Byte(), numbers.Byte(), text); }};
  const bool hexDump = format == 4;
  std::vector<std::string> bodies;  // what each line holds after its prefix
  if (!hexDump) {
    bodies.push_back(messages[format]());
  } else {
    Logger::NLogHexDump(setup->logger, name, level, arg.data(), static_cast<uint32_t>(arg.size()));
    for (size_t at = 0; at < arg.size(); at += 16) {
      bodies.push_back(HexDumpBody(arg, at));
    }
  }
  if (level > LOGGER_LOG_VERBOSE) {
    bodies.clear();  // not admitted
  }

  // A message's line the first writer builds and the second only receives; a hex dump's lines
  // each writer builds, indented by the last prefix it built itself.
  Require(hexDump || setup->writers[1]->Lines() == setup->writers[0]->Lines(),
          "the writers got different lines");
  const std::string rest =
      Format(" <%08lX> [%04X] %c %s: ", static_cast<unsigned long>(QrThread::GetCurrentThreadID()),
             static_cast<unsigned>(getpid()), GetLevelLetter(level), ShortName(signature).c_str());
  const bool named = !signature.empty();
  for (int w = 0; w < (hexDump ? 2 : 1); ++w) {
    const std::vector<std::string> lines = setup->writers[w]->Lines();
    Require(lines.size() == bodies.size(), "another number of lines");
    const size_t prefixLen = named ? kTimeStampSize + rest.size() : setup->prefixLen[w];
    for (size_t i = 0; i < lines.size(); ++i) {
      bool stamped = named && i == 0;
      CheckLine(lines[i], stamped,
                (stamped ? std::string(kTimeStampSize, '0') + rest : std::string(prefixLen, ' ')) +
                    bodies[i]);
    }
    setup->prefixLen[w] = lines.empty() ? setup->prefixLen[w] : prefixLen;
  }
  return 0;
}
