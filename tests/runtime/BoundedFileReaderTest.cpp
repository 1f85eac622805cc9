#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <functional>
#include <future>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "runtime/BoundedFileReader.h"
#include "runtime/FileUtils.h"
#include "runtime/RuntimeTestUtil.h"
#include "runtime/StringUtils.h"
#include "support/ScopedTestLogger.h"

using testutil::TempDir;

namespace {

const size_t kFileLimit = BoundedFileReader::kDefaultMaxFileBytes;
const size_t kLineLimit = BoundedFileReader::kDefaultMaxLineBytes;
const char* const kNotRegular = "File \"%s\" is not a regular file; it is not read.";

std::string Write(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
  return path;
}

// Lines of `width` bytes and a line feed, up to exactly `total` bytes.
std::string Lines(size_t total, size_t width) {
  std::string text;
  while (text.size() < total) {
    text.append(std::min(width, total - text.size() - 1), 'x');
    text.push_back('\n');
  }
  return text;
}

// A character device of the system (the first one found: a shared test machine may have
// lost one to a careless script).
std::string CharacterDevice() {
  for (const char* path : {"/dev/full", "/dev/zero", "/dev/null", "/dev/random"}) {
    struct stat st;
    if (lstat(path, &st) == 0 && S_ISCHR(st.st_mode)) return path;
  }
  ADD_FAILURE() << "no character device found";
  return "/dev/full";
}

// Runs a read that must neither block nor hang the test: a named pipe without a writer is
// opened for writing once if the read has not ended in time.
template <class T>
T WithoutBlocking(const std::string& path, std::function<T()> read) {
  auto result = std::async(std::launch::async, read);
  if (result.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
    close(open(path.c_str(), O_WRONLY | O_NONBLOCK));
    ADD_FAILURE() << "the read blocked";
  }
  return result.get();
}

}  // namespace

// What the reader says of each kind of file: a named pipe without a writer, a device, or a
// file that yields more than its size promised must neither block nor be read beyond the
// limit, and each refusal is logged once with its reason.
TEST(BoundedFileReader, ReadsOnlyRegularFilesWithinTheLimits) {
  using R = BoundedFileReader;
  const struct {
    const char* kind;
    std::function<std::string(const TempDir&)> make;  // answers the path to read
    R::Result expected;
    const char* logged;  // the refusal's message with %s for the path, or null
    size_t maxFileBytes;
  } rows[] = {
      {"plain file",
       [](const TempDir& d) {
         return Write(d.Sub("f"), std::string("a = 1\r\nb\0\x80\xFF\n", 12));
       },
       R::READ_OK, nullptr, kFileLimit},
      {"exactly at both limits",
       [](const TempDir& d) { return Write(d.Sub("f"), Lines(kFileLimit, kLineLimit)); },
       R::READ_OK, nullptr, kFileLimit},
      {"missing", [](const TempDir& d) { return d.Sub("missing"); }, R::READ_OPEN_FAILED, nullptr,
       kFileLimit},
      {"symbolic link to /dev/zero",
       [](const TempDir& d) {
         EXPECT_EQ(0, symlink("/dev/zero", d.Sub("zero").c_str()));
         return d.Sub("zero");
       },
       R::READ_NOT_REGULAR, kNotRegular, kFileLimit},
      {"named pipe without a writer",
       [](const TempDir& d) {
         EXPECT_EQ(0, mkfifo(d.Sub("fifo").c_str(), 0600));
         return d.Sub("fifo");
       },
       R::READ_NOT_REGULAR, kNotRegular, kFileLimit},
      {"device", [](const TempDir&) { return CharacterDevice(); }, R::READ_NOT_REGULAR, kNotRegular,
       kFileLimit},
      {"directory", [](const TempDir& d) { return d.path; }, R::READ_IS_DIRECTORY, kNotRegular,
       kFileLimit},
      {"one byte over the size limit",
       [](const TempDir& d) { return Write(d.Sub("f"), Lines(kFileLimit + 1, 80)); },
       R::READ_TOO_LARGE, "File \"%s\" is larger than 1048576 bytes; it is not read.", kFileLimit},
      {"line one byte over the line limit",
       [](const TempDir& d) {
         return Write(d.Sub("f"), "a\r\n" + std::string(kLineLimit + 1, 'x') + "\n");
       },
       R::READ_LINE_TOO_LONG, "File \"%s\" line 2 is longer than 65536 bytes; it is not read.",
       kFileLimit},
      // The system reports size 0 for it and produces its text as it is read: what a file
      // that grows after fstat looks like to the reader.
      {"file that grows while read", [](const TempDir&) { return std::string("/proc/self/maps"); },
       R::READ_TOO_LARGE, "File \"%s\" is larger than 256 bytes; it is not read.", 256},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.kind);
    TempDir dir;
    std::string path = row.make(dir);
    ScopedTestLogger log(LOGGER_LOG_WARN);
    BoundedFileReader reader(row.maxFileBytes);
    std::string text = "stale";
    EXPECT_EQ(row.expected,
              WithoutBlocking<R::Result>(path, [&] { return reader.ReadAll(path, &text); }));
    std::string expected;
    if (row.expected == R::READ_OK) {  // only then: opening a pipe here would block
      std::ifstream in(path, std::ios::binary);
      expected.assign(std::istreambuf_iterator<char>(in), {});
    }
    EXPECT_EQ(expected, text);
    EXPECT_EQ(row.expected == R::READ_OPEN_FAILED ? ENOENT : 0, reader.Error());
    EXPECT_EQ(row.logged != nullptr
                  ? std::vector<std::string>{StringUtils::sprintf(row.logged, path.c_str())}
                  : std::vector<std::string>{},
              log.Writer()->Messages());
    // The other readers of whole files go through it.
    std::string data = "stale";
    if (row.maxFileBytes == kFileLimit) {
      EXPECT_EQ(row.expected == R::READ_OK, FileUtils::ReadFileIntoString(path, &data, true));
      EXPECT_EQ(expected, data);
    }
  }
  std::vector<std::string> lines{"stale"};
  BoundedFileReader reader;
  TempDir dir;
  ASSERT_EQ(R::READ_OK, reader.ReadLines(Write(dir.Sub("f"), "a\r\nb\rc\n\n\r\nd"), &lines));
  EXPECT_EQ((std::vector<std::string>{"a", "b", "c", "", "", "d"}), lines);
  ASSERT_EQ(R::READ_OK, reader.ReadLines(Write(dir.Sub("e"), ""), &lines));
  EXPECT_TRUE(lines.empty());
  EXPECT_FALSE(FileUtils::ReadFileIntoString(dir.Sub("f"), nullptr, true));
}

// GetConfigValue reads the user's file first: the last value of a setting, whatever the case of
// the application's name. A file that is not a plain file counts as absent instead of
// blocking or growing a line without end.
TEST(BoundedFileReader, ConfigLookUpFindsTheLastValueAndSkipsAPipeOrADevice) {
  for (std::string kind : {"file", "fifo", "/dev/zero"}) {
    SCOPED_TRACE(kind);
    TempDir home;
    testutil::ScopedEnv env("HOME", home.path.c_str());
    ASSERT_EQ(0, mkdir(home.Sub(".quorin").c_str(), 0700));
    std::string config = home.Sub(".quorin/config");
    if (kind == "file") {
      Write(config, "junk\nMyApp.count = 12\nmyapp.count=34 \nMyApp.Other = 5\nMyApp.empty =\n");
    } else {
      ASSERT_EQ(
          0, kind == "fifo" ? mkfifo(config.c_str(), 0600) : symlink(kind.c_str(), config.c_str()));
    }
    UINT32 value = 7;
    EXPECT_EQ(kind == "file", WithoutBlocking<bool>(config, [&] {
                return StringUtils::GetConfigValue("MYAPP", "count", &value);
              }));
    EXPECT_EQ(kind == "file" ? 34u : 7u, value);
    if (kind == "file") {
      EXPECT_FALSE(StringUtils::GetConfigValue("MyApp", "COUNT", &value) ||
                   StringUtils::GetConfigValue("MyApp", "empty", &value) ||
                   StringUtils::GetConfigValue(nullptr, "count", &value) ||
                   StringUtils::GetConfigValue("MyApp", "count", nullptr));
    }
  }
}
