#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "runtime/BoundedFileReader.h"
#include "runtime/FileUtils.h"
#include "runtime/QrFile.h"
#include "runtime/RCPtr.h"
#include "runtime/StringUtils.h"
#include "support/ScopedTestLogger.h"

using namespace FileUtils;

namespace {

// Sets (or, with a null value, unsets) a variable and restores the old state at scope end.
struct ScopedEnv {
  ScopedEnv(const char* name, const char* value) : name(name) {
    if (const char* was = getenv(name)) old = was;
    value != nullptr ? setenv(name, value, 1) : unsetenv(name);
  }
  ~ScopedEnv() { old ? setenv(name.c_str(), old->c_str(), 1) : unsetenv(name.c_str()); }
  std::string name;
  std::optional<std::string> old;
};

// A fresh folder under the system's temporary folder, removed with its contents.
struct TempDir {
  TempDir() {
    path = (std::filesystem::temp_directory_path() / "rtutils-XXXXXX").string();
    if (mkdtemp(&path[0]) == nullptr) path.clear();
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
  std::string Sub(const std::string& name) const { return path + "/" + name; }
  std::string path;
};

const size_t kFileLimit = BoundedFileReader::kDefaultMaxFileBytes;
const size_t kLineLimit = BoundedFileReader::kDefaultMaxLineBytes;
const char* const kNotRegular = "File \"%s\" is not a regular file; it is not read.";

std::string Write(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
  return path;
}

mode_t ModeOf(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

}  // namespace

// A named pipe without a writer or a file that yields more than its size promised must
// neither block nor be read beyond the limit (a read that blocks ends in the test's time
// limit; the plug-in start-up test guards its pipe); each refusal is logged once.
TEST(BoundedFileReader, ReadsOnlyRegularFilesWithinTheLimits) {
  using R = BoundedFileReader;
  const struct {
    const char* kind;
    std::string bytes;  // written to a file, unless a path is named
    R::Result expected;
    const char* logged = nullptr;  // the refusal's message with %s for the path
    size_t maxFileBytes = kFileLimit;
    const char* path = nullptr;  // absolute, or under the folder ("fifo": made a named pipe)
  } rows[] = {
      {"exactly at both limits, any byte",
       std::string("b\0\x80\xFF", 4) + std::string(kLineLimit - 4, 'x') +
           std::string(kFileLimit - kLineLimit, '\n'),
       R::READ_OK},
      {"missing", "", R::READ_OPEN_FAILED, nullptr, kFileLimit, "missing"},
      {"named pipe without a writer", "", R::READ_NOT_REGULAR, kNotRegular, kFileLimit, "fifo"},
      {"one byte over the size limit", std::string(kFileLimit + 1, '\n'), R::READ_TOO_LARGE,
       "File \"%s\" is larger than 1048576 bytes; it is not read."},
      {"line one byte over the line limit", "a\r\n" + std::string(kLineLimit + 1, 'x') + "\n",
       R::READ_LINE_TOO_LONG, "File \"%s\" line 2 is longer than 65536 bytes; it is not read."},
      // Size 0 to fstat, text made as it is read: a file that grows after fstat, to the reader.
      {"file that grows while read", "", R::READ_TOO_LARGE,
       "File \"%s\" is larger than 256 bytes; it is not read.", 256, "/proc/self/maps"},
  };
  TempDir dir;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.kind);
    std::string path = row.path == nullptr  ? Write(dir.Sub("f"), row.bytes)
                       : row.path[0] == '/' ? row.path
                                            : dir.Sub(row.path);
    ASSERT_TRUE(path != dir.Sub("fifo") || mkfifo(path.c_str(), 0600) == 0);
    ScopedTestLogger log(LOGGER_LOG_WARN);
    BoundedFileReader reader(row.maxFileBytes);
    std::string text = "stale";
    EXPECT_EQ(row.expected, reader.ReadAll(path, &text));
    EXPECT_EQ(row.expected == R::READ_OK ? row.bytes : "", text);
    EXPECT_EQ(row.expected == R::READ_OPEN_FAILED ? ENOENT : 0, reader.Error());
    EXPECT_EQ(row.logged != nullptr
                  ? std::vector<std::string>{StringUtils::sprintf(row.logged, path.c_str())}
                  : std::vector<std::string>{},
              log.Writer()->Messages());
  }
  std::vector<std::string> lines{"stale"};
  BoundedFileReader reader;
  ASSERT_EQ(R::READ_OK, reader.ReadLines(Write(dir.Sub("f"), "a\r\nb\rc\n\n\r\nd"), &lines));
  EXPECT_EQ((std::vector<std::string>{"a", "b", "c", "", "", "d"}), lines);
  ASSERT_EQ(R::READ_OK, reader.ReadLines(Write(dir.Sub("e"), ""), &lines));
  EXPECT_TRUE(lines.empty());
  EXPECT_FALSE(ReadFileIntoString(dir.Sub("f"), nullptr, true));
}

// GetConfigValue reads the user's file first: the last value of a setting, whatever the case of
// the application's name. A named pipe counts as absent instead of blocking.
TEST(BoundedFileReader, ConfigLookUpFindsTheLastValueAndSkipsAPipe) {
  TempDir home;
  ScopedEnv env("HOME", home.path.c_str());
  ASSERT_EQ(0, mkdir(home.Sub(".quorin").c_str(), 0700));
  std::string config =
      Write(home.Sub(".quorin/config"),
            "junk\nMyApp.count = 12\nmyapp.count=34 \nMyApp.Other = 5\nMyApp.empty =\n");
  UINT32 value = 7;
  EXPECT_TRUE(StringUtils::GetConfigValue("MYAPP", "count", &value));
  EXPECT_EQ(34u, value);
  EXPECT_FALSE(StringUtils::GetConfigValue("MyApp", "COUNT", &value) ||
               StringUtils::GetConfigValue("MyApp", "empty", &value) ||
               StringUtils::GetConfigValue(nullptr, "count", &value) ||
               StringUtils::GetConfigValue("MyApp", "count", nullptr));
  ASSERT_EQ(0, unlink(config.c_str()));
  ASSERT_EQ(0, mkfifo(config.c_str(), 0600));
  EXPECT_FALSE(StringUtils::GetConfigValue("MyApp", "count", &value));
  EXPECT_EQ(34u, value);
}

TEST(FileUtilsPaths, NamePartsOfAPath) {
  EXPECT_EQ("/var/log/a.log", Join("/var/log", "a.log"));
  EXPECT_EQ("/var/log/a.log", Join("/var/log/", "a.log"));
  EXPECT_EQ("a.log", Join("", "a.log"));
  EXPECT_EQ("/", FolderName("/a"));
  EXPECT_EQ(".", FolderName("a.txt"));
  EXPECT_EQ("C:/", FolderName("C:/x"));
  EXPECT_EQ("q.log", FileName("q.log"));
  EXPECT_EQ("noext", BaseName("/v.d/noext"));
  EXPECT_EQ("", Extension("/v.d/noext"));
}

TEST(FileUtilsFiles, ExaminesCreatesAndDeletesFilesAndFolders) {
  mode_t oldMask = umask(077);
  TempDir dir;
  std::string file = dir.Sub("f.txt");
  EXPECT_TRUE(CreateFileWithDefaultAccess(file, false));
  EXPECT_EQ(0640u, ModeOf(file));  // whatever the umask
  chmod(Write(file, "12345").c_str(), 0600);
  EXPECT_TRUE(CreateFileWithDefaultAccess(file, false));  // keeps the content, fixes the mode
  EXPECT_EQ(0640u, ModeOf(file));
  EXPECT_TRUE(Exists(file) && IsFile(file) && !IsFolder(file) && IsFolder(dir.path));
  int64_t size = 0;
  EXPECT_TRUE(FileSize(file, &size) && FileSize(file, nullptr));
  EXPECT_EQ(5, size);
  time_t mtime = 0;
  EXPECT_FALSE(ModTime(file, nullptr) || ModTime(dir.Sub("missing"), &mtime));
  int64_t freeSpace = -1;
  EXPECT_TRUE(DiskFreeSpace(dir.path, &freeSpace) && freeSpace >= 0);
  EXPECT_FALSE(DiskFreeSpace(dir.Sub("missing"), &freeSpace));
  EXPECT_TRUE(CreateFileWithDefaultAccess(file, true) && FileSize(file, &size));
  EXPECT_EQ(0, size);
  EXPECT_FALSE(CreateFileWithDefaultAccess(dir.Sub("no/such/dir"), false));
  std::string overlong = "/" + std::string(300, 'x');
  EXPECT_FALSE(Exists(overlong) || IsFile(overlong) || IsFolder(overlong));
  // Folders get 0777 whatever the umask, which is left as it was.
  std::string folder = dir.Sub("logs");
  EXPECT_TRUE(CreateFolder(folder));
  EXPECT_EQ(0777u, ModeOf(folder));
  EXPECT_EQ(077u, umask(oldMask));
  EXPECT_TRUE(CreateFolder(folder) && DeleteFolder(folder) && !IsFolder(folder));  // was there
  // Deleting what is missing succeeds; a folder with something in it stays.
  EXPECT_TRUE(DeleteFile(dir.Sub("missing")) && DeleteFolder(dir.Sub("missing")));
  EXPECT_FALSE(DeleteFolder(dir.path));
}

// The per-user folder comes from TMP when TMPDIR is unset, before TEMP; a folder that
// cannot be made leaves the answer unchanged.
TEST(FileUtilsUserTemp, PicksTheFolderFromTheEnvironmentOrLeavesThePathUnchanged) {
  TempDir dir;
  std::string path;
  ScopedEnv user("USER", nullptr), tmpdir("TMPDIR", nullptr), tmp("TMP", dir.path.c_str()),
      temp("TEMP", "/nonexistent-should-not-be-used");
  ASSERT_TRUE(GetQuorinUserTempPath(path));
  EXPECT_EQ(dir.path + "/quorin-default", path);
  ScopedEnv missing("TMPDIR", dir.Sub("missing/deeper").c_str());
  EXPECT_FALSE(GetQuorinUserTempPath(path));
  EXPECT_EQ(dir.path + "/quorin-default", path);
  EXPECT_FALSE(GetProgramDataLogPath(path));
}

// Writing, flushing and the size of an open file are the file writer's daily work (tests/logging).
TEST(QrFile, OpenNeverCreatesAndAnUnnamedFileFailsSoftly) {
  TempDir dir;
  std::string path = dir.Sub("w.log");
  RCPtr<QrFile> file = new QrFile(path);
  EXPECT_FALSE(file->Open("a") || Exists(path) || file->Write("x") || file->Flush());
  EXPECT_FALSE(RCPtr<QrFile>(new QrFile(dir.path))->Open("r"));
  Write(path, "hello");
  file = new QrFile();
  ASSERT_TRUE(file->SetAbsPath(path));
  ASSERT_TRUE(file->Open("a"));
  EXPECT_FALSE(file->Write(nullptr));
  int64_t size = 0;
  EXPECT_TRUE(file->Close() && file->Close() && file->Size(&size));
  EXPECT_EQ(5, size);
  EXPECT_EQ("w/log/w.log/" + dir.path, file->GetBaseName() + "/" + file->GetExtension() + "/" +
                                           file->GetFileName() + "/" + file->GetFolderName());
  EXPECT_TRUE(file->Exists() && file->Delete());
  EXPECT_FALSE(file->Exists());
  RCPtr<QrFile> unnamed = new QrFile();
  path = "kept";
  EXPECT_FALSE(unnamed->GetAbsPath(path));
  EXPECT_EQ("kept", path);
  EXPECT_FALSE(unnamed->SetAbsPath("") || unnamed->Open("r") || unnamed->Size(nullptr) ||
               unnamed->Exists() || unnamed->Delete());
}
